// Runs the SKBS checks as the host executable: bit 0 of the exit code is
// SKBS::exists(), bit 1 whether a product name could be read.
#include "ut_skbs.h"

int main()
{
    wchar_t name[256] = {};
    return (SKBS::exists() ? 1 : 0) | (SKBS::getProductName(name, 256) ? 2 : 0);
}
