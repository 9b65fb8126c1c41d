// The engine's fixed error messages, kept in one place so that the code and the tests spell them alike.
// Every message is exact, typos included: callers match on them.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace exprkit {

// A text the parser rejects: std::invalid_argument with one of the messages below, and the byte offset in
// the text where the parser found the fault, or npos where no one place is at fault (an empty text, a
// formula with operands left over).
class ParseError : public std::invalid_argument {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    explicit ParseError(const std::string& message, std::size_t offset = npos)
        : std::invalid_argument(message), at(offset) {}
    std::size_t position() const noexcept { return at; }

private:
    std::size_t at;
};

namespace messages {

inline constexpr const char* empty_expression = "Cannot initialize empty expression";
inline constexpr const char* mismatched_parentheses = "Mismatched parentheses";
inline constexpr const char* invalid_character = "Invalid Character detected";
inline constexpr const char* invalid_charater_prefix = "Invalid charater detected: ";
inline constexpr const char* illegal_token_character = "Tried creating Token with illegal character";
inline constexpr const char* expected_open_paren = "Expected '('";
inline constexpr const char* unhandled_token = "Unhandled token";
inline constexpr const char* unary_argument_prefix = "Expected argument to unary operator '";
inline constexpr const char* unknown_function_prefix = "Unknown function encountered: ";
inline constexpr const char* binary_argument_prefix = "Expected argument(s) to binary operator '";
inline constexpr const char* unbalanced_equation = "Unbalanced equation";
inline constexpr const char* malformed_expression = "Malformed expression, could not generate parse tree";
inline constexpr const char* invalid_expression = "Tried to evaluate invalid expression";
inline constexpr const char* no_values = "Tried to evaluate without the variables' values";
inline constexpr const char* no_results = "Tried to evaluate without an array for the results";
inline constexpr const char* unspecified_variable_prefix = "Unspecified variable value: ";
inline constexpr const char* missing_key = "invalid unordered_map<K, T> key";

}  // namespace messages
}  // namespace exprkit
