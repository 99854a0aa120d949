// libFuzzer target for the XML parser and writer (configure with clang and -DVELMO_LIBFUZZER=ON).
#include "foundation/fuzz/XmlFuzzCheck.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string broken = velmo_fuzz::CheckXmlInput({reinterpret_cast<const char*>(data), size});
    if (!broken.empty()) {
        std::fprintf(stderr, "XML fuzz rule broken: %s\n", broken.c_str());
        std::abort();
    }
    return 0;
}
