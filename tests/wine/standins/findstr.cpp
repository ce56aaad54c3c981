// findstr for running the user guide's cmd scripts under Wine, whose own
// findstr gives 0 whether or not a line matched. Literal search strings
// given with /c: only, and /b, /e, /i, /l; one file. Exit status as
// Windows' findstr: 0 when a line matched, 1 when none did (what the
// scripts read with `if not errorlevel 1`, true only for 0); 2 for
// anything it cannot do, so that a script that needs more than this fails
// instead of passing by chance.
#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kMaxStrings = 16;
constexpr size_t kMaxLine = 4096;

struct Search {
    const char* strings[kMaxStrings];
    int count;
    bool atBegin;
    bool atEnd;
    bool ignoreCase;
};

bool SameAt(const char* line, const char* text, size_t length, bool ignoreCase)
{
    for (size_t i = 0; i < length; ++i) {
        const int a = static_cast<unsigned char>(line[i]);
        const int b = static_cast<unsigned char>(text[i]);
        if (ignoreCase ? std::tolower(a) != std::tolower(b) : a != b)
            return false;
    }
    return true;
}

bool Matches(const Search& search, const char* line, size_t lineLength)
{
    for (int s = 0; s < search.count; ++s) {
        const size_t length = std::strlen(search.strings[s]);
        if (length > lineLength)
            continue;
        const size_t last = lineLength - length;
        const size_t first = search.atEnd && !search.atBegin ? last : 0;
        const size_t stop = search.atBegin ? 0 : last;
        for (size_t at = first; at <= stop; ++at)
            if ((!search.atEnd || at == last) &&
                SameAt(line + at, search.strings[s], length, search.ignoreCase))
                return true;
    }
    return false;
}

// Exit status 2, as findstr gives for what it cannot do.
int Refuse(const char* reason, const char* what = "")
{
    (void)std::fprintf(stderr, "findstr stand-in: %s%s\n", reason, what);
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
    Search search = {};
    const char* file = nullptr;
    int files = 0;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '/') {
            file = arg;
            ++files;
        } else if (_strnicmp(arg, "/c:", 3) == 0 && search.count < kMaxStrings) {
            search.strings[search.count++] = arg + 3;
        } else if (_stricmp(arg, "/b") == 0) {
            search.atBegin = true;
        } else if (_stricmp(arg, "/e") == 0) {
            search.atEnd = true;
        } else if (_stricmp(arg, "/i") == 0) {
            search.ignoreCase = true;
        } else if (_stricmp(arg, "/l") != 0) {
            return Refuse("not supported: ", arg);
        }
    }
    if (search.count == 0 || files != 1)
        return Refuse("needs /c: strings and exactly one file");

    std::FILE* in = std::fopen(file, "rb");
    if (in == nullptr)
        return Refuse("cannot open ", file);
    bool found = false;
    char line[kMaxLine];
    while (std::fgets(line, sizeof(line), in) != nullptr) {
        size_t length = std::strlen(line);
        if (length == sizeof(line) - 1 && line[length - 1] != '\n') {
            (void)std::fclose(in);
            return Refuse("line too long in ", file);
        }
        while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r'))
            line[--length] = '\0';
        if (Matches(search, line, length)) {
            std::printf("%s\n", line);
            found = true;
        }
    }
    (void)std::fclose(in);
    return found ? 0 : 1;
}
