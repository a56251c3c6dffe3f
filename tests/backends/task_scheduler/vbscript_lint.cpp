#include "backends/task_scheduler/vbscript_lint.hpp"

#include <algorithm>
#include <cctype>
#include <regex>
#include <set>

#include <fmt/format.h>

namespace vsm_test::vbscript {
namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::string trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

// The line's code with string literals blanked to "" and the comment removed.
std::string code_of(std::string_view line, bool& unterminated) {
    std::string out;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\'') break;
        if (line[i] != '"') {
            out += line[i];
            continue;
        }
        auto literal = parse_string_literal(line.substr(i));
        if (!literal) {
            unterminated = true;
            break;
        }
        out += "\"\"";
        i = line.size() - literal->rest.size() - 1;
    }
    return trim(out);
}

// Names VBScript and the host provide, and keywords; all compared in lower case.
const std::set<std::string> KNOWN = {
    "option", "explicit", "dim", "redim", "preserve", "const", "set", "if", "then", "else", "elseif", "end", "sub",
    "function", "do", "while", "until", "loop", "for", "each", "in", "to", "step", "next", "exit", "not", "and",
    "or", "mod", "is", "on", "error", "resume", "goto", "call", "nothing", "true", "false", "null", "empty", "err",
    "wscript", "createobject", "getobject", "now", "hex", "cstr", "clng", "cdbl", "fix", "isnull", "isnumeric",
    "split", "ubound", "instr", "array", "lcase", "trim", "len", "timer", "vbbinarycompare", "cint", "left", "mid",
    "right", "dateserial", "timeserial", "dateadd", "datediff", "vblf"};

struct Scope {
    std::set<std::string> names;
};

void declare_list(std::string_view list, std::set<std::string>& names) {
    static const std::regex name(R"(([A-Za-z_]\w*)\s*(\([^)]*\))?)");
    for (std::cregex_iterator it(list.data(), list.data() + list.size(), name), end; it != end; ++it) {
        names.insert(lower((*it)[1].str()));
    }
}

}  // namespace

std::optional<Literal> parse_string_literal(std::string_view text) {
    if (text.empty() || text[0] != '"') return std::nullopt;
    Literal literal;
    for (std::size_t i = 1; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') return std::nullopt;
        if (text[i] != '"') {
            literal.value += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '"') {
            literal.value += '"';
            ++i;
        } else {
            literal.rest = text.substr(i + 1);
            return literal;
        }
    }
    return std::nullopt;
}

std::vector<std::string> lint(std::string_view script) {
    std::vector<std::string> problems;
    std::vector<std::string> lines;
    for (std::size_t start = 0; start <= script.size();) {
        auto end = script.find('\n', start);
        if (end == std::string_view::npos) end = script.size();
        auto line = script.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.emplace_back(line);
        start = end + 1;
    }

    static const std::regex procedure_start(R"(^(?:(?:private|public)\s+)?(sub|function)\s+(\w+)\s*(?:\((.*)\))?$)",
                                            std::regex::icase);
    static const std::regex declaration(R"(^(dim|const|redim(?:\s+preserve)?)\s+(.*)$)", std::regex::icase);
    static const std::regex single_if(R"(^(?:if|elseif)\s+.*?\s+then\s+(.+)$)", std::regex::icase);
    static const std::regex block_if(R"(^if\s+.*\s+then$)", std::regex::icase);
    static const std::regex assignment(R"(^(?:set\s+)?([A-Za-z_]\w*)\s*(?:\([^=]*\))?\s*=)", std::regex::icase);
    static const std::regex for_each(R"(^for\s+each\s+(\w+)\s+in\s)", std::regex::icase);
    static const std::regex for_count(R"(^for\s+(\w+)\s*=)", std::regex::icase);
    static const std::regex identifier(R"((^|[^.\w])([A-Za-z_]\w*))");

    // First pass: what the whole script declares at the top level, and every procedure's name.
    std::set<std::string> globals;
    for (const auto& raw : lines) {
        bool unterminated = false;
        const std::string code = code_of(raw, unterminated);
        std::smatch m;
        if (std::regex_match(code, m, procedure_start)) globals.insert(lower(m[2].str()));
    }
    bool inside = false;
    for (const auto& raw : lines) {
        bool unterminated = false;
        const std::string code = code_of(raw, unterminated);
        std::smatch m;
        if (std::regex_match(code, m, procedure_start)) inside = true;
        else if (std::regex_match(code, std::regex(R"(^end\s+(sub|function)$)", std::regex::icase))) inside = false;
        else if (!inside && std::regex_match(code, m, declaration)) {
            std::string list = m[2].str();
            if (lower(m[1].str()) == "const") list = list.substr(0, list.find('='));
            declare_list(list, globals);
        }
    }

    std::vector<std::string> blocks;
    std::optional<Scope> local;
    for (std::size_t n = 0; n < lines.size(); ++n) {
        const auto report = [&](const std::string& what) { problems.push_back(fmt::format("line {}: {}", n + 1, what)); };
        bool unterminated = false;
        const std::string code = code_of(lines[n], unterminated);
        if (unterminated) report("unterminated string literal");
        if (code.empty()) continue;
        const std::string low = lower(code);
        std::smatch m;

        const auto declared = [&](const std::string& name) {
            return globals.count(name) || (local && local->names.count(name)) || KNOWN.count(name);
        };
        // The statements on this line: the line itself, or the parts of a single-line If.
        std::vector<std::string> statements;
        if (std::regex_match(code, m, single_if)) {
            std::string tail = m[1].str();
            auto else_at = lower(tail).find(" else ");
            statements.push_back(trim(tail.substr(0, else_at)));
            if (else_at != std::string::npos) statements.push_back(trim(tail.substr(else_at + 6)));
        } else {
            statements.push_back(code);
        }

        if (std::regex_match(code, m, procedure_start)) {
            if (!blocks.empty()) report("procedure defined inside a block");
            blocks.push_back(lower(m[1].str()));
            local = Scope{};
            local->names.insert(lower(m[2].str()));
            if (m[3].matched) declare_list(m[3].str(), local->names);
            continue;
        }
        if (std::regex_match(code, m, declaration)) {
            std::string list = m[2].str();
            if (lower(m[1].str()) == "const") list = list.substr(0, list.find('='));
            // ReDim declares as well: it may stand alone in a procedure even under Option Explicit.
            if (local) declare_list(list, local->names);
        }

        // Block structure.
        const auto close = [&](const std::string& kind) {
            if (blocks.empty() || blocks.back() != kind) report(fmt::format("unexpected end of {}", kind));
            else blocks.pop_back();
        };
        if (std::regex_match(code, std::regex(R"(^end\s+(sub|function)$)", std::regex::icase))) {
            close(low.substr(low.find_last_of(' ') + 1));
            local.reset();
        } else if (low == "end if") {
            close("if");
        } else if (std::regex_match(code, block_if)) {
            blocks.push_back("if");
        } else if (low == "else" || low.rfind("elseif ", 0) == 0) {
            if (blocks.empty() || blocks.back() != "if") report("Else outside an If block");
        } else if (low == "do" || low.rfind("do while ", 0) == 0 || low.rfind("do until ", 0) == 0) {
            blocks.push_back("do");
        } else if (low == "loop" || low.rfind("loop ", 0) == 0) {
            close("do");
        } else if (low.rfind("for ", 0) == 0) {
            blocks.push_back("for");
        } else if (low == "next") {
            close("for");
        }
        for (const auto& statement : statements) {
            const std::string s = lower(statement);
            for (const char* kind : {"do", "for", "sub", "function"}) {
                if (s == std::string("exit ") + kind &&
                    std::find(blocks.begin(), blocks.end(), kind) == blocks.end()) {
                    report(fmt::format("Exit {} outside a {} block", kind, kind));
                }
            }
        }

        // Declarations: everything assigned or read must be declared somewhere in scope.
        for (const auto& statement : statements) {
            if (std::regex_search(statement, m, for_each) || std::regex_search(statement, m, for_count) ||
                std::regex_search(statement, m, assignment)) {
                const std::string name = lower(m[1].str());
                if (!declared(name)) report(fmt::format("'{}' is not declared", name));
            }
        }
        if (std::regex_match(code, procedure_start) || std::regex_match(code, m, declaration)) continue;
        for (std::sregex_iterator it(code.begin(), code.end(), identifier), end; it != end; ++it) {
            const std::string name = lower((*it)[2].str());
            if (!declared(name)) report(fmt::format("'{}' is not declared", name));
        }
    }
    for (const auto& open : blocks) problems.push_back(fmt::format("end of script: {} block not closed", open));
    return problems;
}

}  // namespace vsm_test::vbscript
