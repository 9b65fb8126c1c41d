// Helpers shared by the engine tests.
#pragma once

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include <exprkit/token.hpp>

namespace exprkit::testing {

// The C library's pow(x, 2), through an exponent the compiler cannot see, so that it is not made x * x.
inline double library_square(double x) {
    volatile double two = 2;
    return std::pow(x, two);
}

// The message of the std::invalid_argument that `action` throws, or "<no error>".
template <typename Action>
std::string invalid_argument_of(Action&& action) {
    try {
        action();
    } catch (const std::invalid_argument& error) {
        return error.what();
    }
    return "<no error>";
}

// Tokens written as "text:type", separated by blanks, for compact tables.
inline std::string describe(const std::vector<Token>& tokens) {
    std::string out;
    for (const Token& token : tokens) {
        if (!out.empty()) out += ' ';
        out += token.text + ':' + std::to_string(static_cast<int>(token.type));
    }
    return out;
}

// Token texts only, with a unary minus written as "-u".
inline std::string texts(const std::vector<Token>& tokens) {
    std::string out;
    for (const Token& token : tokens) {
        if (!out.empty()) out += ' ';
        out += (token.type == TokenType::Function && token.text == "-") ? std::string("-u") : token.text;
    }
    return out;
}

}  // namespace exprkit::testing
