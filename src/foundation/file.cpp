#include "foundation/file.h"

namespace elq {

std::string temporaryNameBeside(const char* name, uint32_t serial) {
    const std::string path = name;
    const size_t separator = path.find_last_of("/\\:");
    const std::string folder = separator == std::string::npos ? "" : path.substr(0, separator + 1);
    std::string base = separator == std::string::npos ? path : path.substr(separator + 1);
    if (base.size() > 200) base.resize(200);
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    char suffix[7];
    for (int i = 0; i < 6; ++i) {
        suffix[i] = kLetters[serial % 62];
        serial /= 62;
    }
    suffix[6] = '\0';
    return folder + "." + base + "." + suffix;
}

}  // namespace elq
