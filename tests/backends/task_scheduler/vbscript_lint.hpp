#pragma once
// A small static check of VBScript text, for scripts that cannot run on the test machine: block
// structure and the declarations that "Option Explicit" demands at run time.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vsm_test::vbscript {

// The decoded value of the string literal at the start of `text` (which must begin with a double
// quote) and the rest of the text after its closing quote; nothing if the literal is unterminated.
struct Literal {
    std::string value;
    std::string_view rest;
};
std::optional<Literal> parse_string_literal(std::string_view text);

// One text per problem found, such as "line 12: 'intCount' is not declared". Understands the
// subset of VBScript a hand-written script uses: one statement per line, Sub/Function at the top
// level, block and single-line If, Do/Loop, For/Next, Dim/ReDim/Const, assignments.
std::vector<std::string> lint(std::string_view script);

}  // namespace vsm_test::vbscript
