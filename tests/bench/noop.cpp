// The benchmark's baseline: a program that does nothing, built and linked
// like the real ones, so that its run time under Wine is the cost of
// starting and ending a process there.
int main()
{
    return 0;
}
