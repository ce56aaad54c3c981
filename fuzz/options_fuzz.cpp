// Drives ParseOptions and the judgement of CheckOptions with random option
// tables and argument vectors. Every string, the table and the argument
// vector each sit in a heap block of their exact size, so that
// AddressSanitizer stops any read or write past one of them.
//
// Input, read from the front:
//   byte 0         row count (low 3 bits, 0 to 7 rows before the end row);
//                  0x40: argv[0] is null; 0x80: declared flags may also
//                  hold result bits
//   for each row   short name byte (0: none), flags byte, long name length
//                  byte (0xFF: no long name; else length % 16) and the name
//   one byte       extra flags of the end row (OPT_END is always added)
//   the rest       the words after the program name, split at each 0 byte
#include "pipe_edition/options.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr DWORD kDeclaredBits =
    OPT_NO_ARGUMENT | OPT_REQUIRES_ARGUMENT | OPT_REFUSE_DASH_ARGUMENT | OPT_REPEATABLE;
constexpr DWORD kResultBits =
    OPT_GIVEN_SHORT | OPT_GIVEN_SHORT_ARGUMENT | OPT_GIVEN_LONG | OPT_GIVEN_LONG_ARGUMENT;
constexpr size_t kMaxWords = 32;

struct Input {
    const uint8_t* data;
    size_t size;
    size_t at;
};

uint8_t Byte(Input& in)
{
    return in.at < in.size ? in.data[in.at++] : 0;
}

char* NewString(const uint8_t* bytes, size_t length, std::vector<std::unique_ptr<char[]>>& owner)
{
    owner.emplace_back(new char[length + 1]);
    char* text = owner.back().get();
    if (length != 0)
        std::memcpy(text, bytes, length);
    text[length] = '\0';
    return text;
}

void Require(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// True when p points into one of the words, its terminator included.
bool PointsIntoAWord(const char* p, const std::vector<char*>& words)
{
    for (const char* word : words)
        if (p >= word && p <= word + std::strlen(word))
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Input in = {data, size, 0};
    std::vector<std::unique_ptr<char[]>> strings;

    const uint8_t head = Byte(in);
    const size_t rowCount = head & 0x07;
    const bool noProgramName = (head & 0x40) != 0;
    const DWORD allowedBits = (head & 0x80) ? (kDeclaredBits | kResultBits) : kDeclaredBits;

    std::unique_ptr<OptionSpec[]> table(new OptionSpec[rowCount + 1]);
    std::unique_ptr<OptionSpec[]> before(new OptionSpec[rowCount + 1]);
    for (size_t i = 0; i < rowCount; ++i) {
        OptionSpec& row = table[i];
        row.shortName = static_cast<char>(Byte(in));
        row.flags = Byte(in) & allowedBits;
        const uint8_t nameByte = Byte(in);
        if (nameByte == 0xFF) {
            row.longName = nullptr;
        } else {
            size_t length = nameByte % 16;
            if (length > in.size - in.at)
                length = in.size - in.at;
            row.longName = NewString(in.data + in.at, length, strings);
            in.at += length;
        }
        // Left from an earlier run; the parser must clear them.
        row.count = 0xA5A5A5A5u;
        row.argument = "stale";
    }
    table[rowCount] = OptionSpec{'?', "stale", (Byte(in) & allowedBits) | OPT_END, 7, "stale"};
    for (size_t i = 0; i <= rowCount; ++i)
        before[i] = table[i];

    std::vector<char*> words;
    while (in.at < in.size && words.size() < kMaxWords) {
        const uint8_t* start = in.data + in.at;
        const void* zero = std::memchr(start, 0, in.size - in.at);
        const size_t length =
            zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - start) : in.size - in.at;
        words.push_back(NewString(start, length, strings));
        in.at += length + (zero ? 1 : 0);
    }
    std::vector<std::string> wordTexts(words.begin(), words.end());

    const uint8_t programName[] = {'p', 'r', 'o', 'g'};
    char* const argv0 = noProgramName ? nullptr : NewString(programName, 4, strings);
    const size_t argvSize = noProgramName ? 1 : words.size() + 2;
    std::unique_ptr<char*[]> argv(new char*[argvSize]);
    argv[0] = argv0;
    if (!noProgramName) {
        for (size_t i = 0; i < words.size(); ++i)
            argv[i + 1] = words[i];
        argv[argvSize - 1] = nullptr;
    }

    const DWORD result = ParseOptions(argv.get(), table.get());

    // The argument vector: operands in their order, then the null element.
    if (noProgramName) {
        Require(result == 0 && argv[0] == nullptr, "no program name gives result 0");
    } else {
        Require(result >= 1 && result <= words.size() + 1, "result in range");
        Require(argv[0] == argv0, "element 0 unchanged");
        Require(argv[result] == nullptr, "null element at the result");
        size_t next = 0;
        for (DWORD i = 1; i < result; ++i) {
            while (next < words.size() && words[next] != argv[i])
                ++next;
            Require(next < words.size(), "operands are a subsequence of the words");
            ++next;
        }
    }
    for (size_t i = 0; i < words.size(); ++i)
        Require(wordTexts[i] == words[i], "words unchanged");

    // The table: names kept, bits only added, everything points into argv.
    const OptionSpec* end = table.get();
    while (!(end->flags & OPT_END))
        ++end;
    uint64_t counted = 0;
    for (const OptionSpec* row = table.get(); row <= end; ++row) {
        const OptionSpec& old = before[row - table.get()];
        Require((row->flags & old.flags) == old.flags, "flags never cleared");
        Require((row->flags & ~old.flags & ~kResultBits) == 0, "only result bits added");
        if (row->count == 0)
            Require(row->flags == old.flags, "no result bit without an occurrence");
        Require(row->argument == nullptr || PointsIntoAWord(row->argument, words),
                "argument points into a word");
        if (row != end)
            Require(row->shortName == old.shortName && row->longName == old.longName,
                    "names of ordinary rows unchanged");
        counted += row->count;
    }
    Require(end->longName == nullptr || PointsIntoAWord(end->longName, words),
            "unrecognised long option points into a word");
    size_t characters = 0;
    for (const char* word : words)
        characters += std::strlen(word);
    Require(counted <= characters, "no more occurrences than characters");

    // The judgement and the message CheckOptions would print.
    const OptionSpec* row = nullptr;
    const int message = JudgeOptions(table.get(), &row);
    Require(message >= 0 && message <= 7, "message number");
    if (message == 0) {
        Require(row == nullptr, "no row without a message");
        return 0;
    }
    if (message <= 2)
        Require(row == end, "unrecognised options name the end row");
    else
        Require(row >= table.get() && row < end, "problems name a row before the end row");
    if (!(head & 0x80))
        Require(message != 4, "no argument recorded for a short option that takes none");

    const int length = FormatOptionMessage(nullptr, 0, "prog", message, row);
    Require(length > 0, "message has a length");
    std::unique_ptr<char[]> text(new char[static_cast<size_t>(length) + 1]);
    Require(FormatOptionMessage(text.get(), static_cast<size_t>(length) + 1, "prog", message,
                                row) == length,
            "same length twice");
    Require(std::strncmp(text.get(), "prog: ", 6) == 0, "message begins with the program name");
    Require(text[length - 1] == '\n', "message is one line");
    return 0;
}
