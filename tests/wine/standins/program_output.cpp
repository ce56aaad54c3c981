// Stands in for a program that a script of the user guide runs, where Wine
// cannot make the real one print what the case needs (the legacy program
// never reaches an adapter there). Prints the lines of BRELVIK_STANDIN_PRINTED,
// separated by '|', each ended by a line break (CRLF, as the programs' text
// mode gives), and exits with 0 as the programs do.
#include <cstdio>
#include <cstdlib>

int main()
{
    const char* lines = std::getenv("BRELVIK_STANDIN_PRINTED");
    if (lines == nullptr) {
        (void)std::fputs("program_output: BRELVIK_STANDIN_PRINTED is not set\n", stderr);
        return 2;
    }
    for (const char* at = lines; *at != '\0'; ++at)
        (void)std::putchar(*at == '|' ? '\n' : *at);
    if (*lines != '\0')
        (void)std::putchar('\n');
    return 0;
}
