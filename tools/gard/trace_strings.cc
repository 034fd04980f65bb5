// gard-trace-strings: collects every GARD_TRACE message of the library's
// sources into the table `gard trace` decodes entries with. Trace entries
// carry only the message id, so the texts have to come from the sources.
// Usage: gard-trace-strings OUT ROOT FILE...   (FILE relative to ROOT)
// OUT: one line per call: id (8 hex digits), file, first line, last line,
// format, message, separated by tabs.
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "files/gtrace.h"

namespace {

struct Cursor {
    const std::string& s;
    std::size_t at = 0;
    unsigned line = 1;

    bool done() const { return at >= s.size(); }
    void step() { line += s[at++] == '\n'; }
    // Spaces, newlines and comments.
    void skipBlank() {
        while (!done()) {
            if (std::isspace(static_cast<unsigned char>(s[at]))) {
                step();
            } else if (s.compare(at, 2, "//") == 0) {
                while (!done() && s[at] != '\n') step();
            } else if (s.compare(at, 2, "/*") == 0) {
                while (!done() && s.compare(at, 2, "*/") != 0) step();
                if (!done()) at += 2;
            } else {
                return;
            }
        }
    }
    // One or more adjacent string literals, concatenated; false when there is none.
    bool literal(std::string& out) {
        skipBlank();
        bool any = false;
        while (!done() && s[at] == '"') {
            any = true;
            step();
            while (!done() && s[at] != '"') {
                if (s[at] == '\\' && at + 1 < s.size()) {
                    step();
                    char c = s[at];
                    out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
                } else {
                    out += s[at];
                }
                step();
            }
            if (!done()) step();
            skipBlank();
        }
        return any;
    }
};

std::string flat(std::string text) {
    for (char& c : text)
        if (c == '\t' || c == '\n') c = ' ';
    return text;
}

// Appends a row per GARD_TRACE("message", "format", ...) call of `text`.
void scan(const std::string& text, const std::string& file, std::ostream& out) {
    Cursor c{text};
    const std::string name = "GARD_TRACE";
    while (!c.done()) {
        char ch = text[c.at];
        if (ch == '"' || ch == '\'') {  // skip literals outside calls
            c.step();
            while (!c.done() && text[c.at] != ch) {
                if (text[c.at] == '\\') c.step();
                if (!c.done()) c.step();
            }
            if (!c.done()) c.step();
            continue;
        }
        if (ch == '/' && (text.compare(c.at, 2, "//") == 0 || text.compare(c.at, 2, "/*") == 0)) {
            c.skipBlank();
            continue;
        }
        bool word = text.compare(c.at, name.size(), name) == 0 &&
                    (c.at == 0 || !(std::isalnum(static_cast<unsigned char>(text[c.at - 1])) || text[c.at - 1] == '_'));
        if (!word) {
            c.step();
            continue;
        }
        const unsigned first = c.line;
        c.at += name.size();
        c.skipBlank();
        if (c.done() || text[c.at] != '(') continue;
        c.step();
        std::string message, format;
        if (!c.literal(message) || c.done() || text[c.at] != ',') continue;  // the macro's own definition
        c.step();
        if (!c.literal(format)) continue;
        int depth = 1;  // on to the call's closing parenthesis, for its last line
        while (!c.done() && depth > 0) {
            depth += text[c.at] == '(' ? 1 : text[c.at] == ')' ? -1 : 0;
            c.step();
        }
        char id[16];
        std::snprintf(id, sizeof id, "%08x", gard::traceId(message.c_str()));
        out << id << '\t' << file << '\t' << first << '\t' << c.line << '\t' << flat(format) << '\t'
            << flat(message) << '\n';
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: gard-trace-strings OUT ROOT FILE...\n");
        return 2;
    }
    std::ostringstream table;
    for (int i = 3; i < argc; ++i) {
        std::ifstream in(std::string(argv[2]) + "/" + argv[i], std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "gard-trace-strings: cannot read %s/%s\n", argv[2], argv[i]);
            return 1;
        }
        std::ostringstream text;
        text << in.rdbuf();
        scan(text.str(), argv[i], table);
    }
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out << table.str();
    return out.good() ? 0 : 1;
}
