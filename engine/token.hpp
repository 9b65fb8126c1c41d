// Token: a byte string and an 8-bit type, handed from the lexer through the postfix converter to the tree
// builder. The constructor rejects bytes outside the alphabet ("Tried creating Token with illegal character"),
// normalises number texts and flags "^".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "errors.hpp"
#include "language.hpp"

namespace exprkit {

// RightAssoc is a flag bit, OR-ed onto the type of a right-associative operator ("^").
enum class TokenType : std::uint8_t { Operand = 0, Function = 1, Operator = 2, Paren = 4, RightAssoc = 8 };

constexpr TokenType operator|(TokenType a, TokenType b) {
    return static_cast<TokenType>(static_cast<std::uint8_t>(a) | static_cast<std::uint8_t>(b));
}

namespace detail {

// ASCII byte classes, one table lookup each, whatever the locale: no byte from 0x80 up is a letter or a digit.
enum ByteClass : std::uint8_t { letter = 1, digit = 2, point = 4, other_token_byte = 8 };
inline constexpr auto byte_classes = [] {
    std::array<std::uint8_t, 256> classes{};
    for (unsigned c = 0; c < classes.size(); ++c) {
        const bool other = is_operator_symbol(static_cast<unsigned char>(c)) || c == '(' || c == ')';
        classes[c] = ((c | 32) >= 'a' && (c | 32) <= 'z') ? letter : (c >= '0' && c <= '9') ? digit
                   : c == '.' ? point : other ? other_token_byte : 0;
    }
    return classes;
}();
constexpr bool is_letter(unsigned char c) { return byte_classes[c] & letter; }
constexpr bool is_alnum(unsigned char c) { return byte_classes[c] & (letter | digit); }
constexpr bool is_token_byte(unsigned char c) { return byte_classes[c] != 0; }
constexpr bool is_number_byte(unsigned char c) { return byte_classes[c] & (digit | point); }

// The end of the run of bytes of `text` that satisfy `predicate`, starting at `from`.
template <typename Predicate>
std::size_t run_end(std::string_view text, std::size_t from, Predicate predicate) {
    while (from < text.size() && predicate(static_cast<unsigned char>(text[from]))) ++from;
    return from;
}

// A variable name (letters only) and a number literal (digits and "." only); the empty text is both.
inline bool is_name_text(std::string_view text) { return run_end(text, 0, is_letter) == text.size(); }
inline bool is_number_text(std::string_view text) { return run_end(text, 0, is_number_byte) == text.size(); }

}  // namespace detail

struct Token {
    std::string text;
    TokenType type;
    std::size_t position;  // the byte offset of the token in the parsed text, for errors; npos for a made-up token

    Token(std::string token_text, TokenType token_type, std::size_t at = ParseError::npos)
        : text(std::move(token_text)), type(token_type), position(at) {
        if (detail::run_end(text, 0, detail::is_token_byte) != text.size()) {
            throw std::invalid_argument(messages::illegal_token_character);
        }
        if (type == TokenType::Operand && !text.empty() && detail::is_number_text(text)) {
            if (text.front() == '.') text.insert(text.begin(), '0');
            else if (text.back() == '.') text.push_back('0');
        }
        if (text.size() == 1 && detail::is_right_assoc_symbol(text[0])) type = type | TokenType::RightAssoc;
    }

    bool is_open_paren() const { return type == TokenType::Paren && !text.empty() && text.front() == '('; }
    bool is_close_paren() const { return type == TokenType::Paren && !text.empty() && text.front() == ')'; }
    bool is_binary_operator() const {
        return type == TokenType::Operator || type == (TokenType::Operator | TokenType::RightAssoc);
    }
    bool is_right_assoc() const { return (type | TokenType::RightAssoc) == type; }
    bool is_number() const { return type == TokenType::Operand && detail::is_number_text(text); }
    bool is_name() const { return type == TokenType::Operand && detail::is_name_text(text); }
};

}  // namespace exprkit
