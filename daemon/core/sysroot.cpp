#include "core/sysroot.h"

#include <cstdlib>

std::string sysroot_path(const char *fixed_path) {
    const char *root = getenv("MRVDC_SYSROOT");
    if (!root || !*root) {
        return fixed_path;
    }
    std::string path(root);
    while (!path.empty() && path.back() == '/') {
        path.pop_back();
    }
    return path + fixed_path;
}
