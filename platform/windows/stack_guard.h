// The stack guard of the mingw-w64 build (windows/image_support.cpp).
#pragma once

// Gives the guard its value for this process unless the loader already
// has, as Microsoft's /GS seeds its cookie: from values of this process
// and moment, without loading anything. Call it once, before any function
// that checks the guard runs; it checks none itself.
__attribute__((no_stack_protector)) void SeedStackGuard();
