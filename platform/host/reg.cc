// Registry: values of the processor's view sp<N>/reg/<key>, and file paths
// built from root values.
#include "platform/utilreg.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/host/detail.h"
#include "platform/host/host.h"

namespace {

// Keys name files below the registry directory: no empty or ".." parts.
bool validKey(const char* key) {
    if (key == nullptr || *key == '\0' || *key == '/') return false;
    std::string k(key);
    return k.find("..") == std::string::npos && k.find("//") == std::string::npos &&
           k.back() != '/';
}

}  // namespace

ErrlEntry* UtilReg::read(const char* key, void* buffer, std::size_t& size, bool flag, ErrlEntry*) {
    using namespace gardhost;
    const std::string target = key != nullptr ? key : "";
    if (detail::enter("UtilReg::read", target,
                      detail::format("size=%zu flag=%d%s", size, flag ? 1 : 0,
                                     buffer == nullptr ? " buffer=null" : "")))
        return detail::failure("UtilReg::read", target, 0);
    if (!validKey(key)) return detail::failure("UtilReg::read", target, EINVAL);
    std::vector<uint8_t> value;
    if (!getValue(regName(target), value)) return detail::failure("UtilReg::read", target, ENOENT);
    if (buffer == nullptr && size != 0) return detail::failure("UtilReg::read", target, EFAULT);
    if (buffer != nullptr && !value.empty())
        std::memcpy(buffer, value.data(), std::min(size, value.size()));
    size = value.size();
    return nullptr;
}

ErrlEntry* UtilReg::path(const char* const* roots, int count, const char* name, char*& path,
                         std::size_t& length) {
    using namespace gardhost;
    const std::string target = name != nullptr ? name : "";
    std::string rootList;
    for (int i = 0; roots != nullptr && i < count; ++i) {
        if (i > 0) rootList += ',';
        rootList += roots[i] != nullptr ? roots[i] : "null";
    }
    if (detail::enter("UtilReg::path", target, "roots=" + rootList))
        return detail::failure("UtilReg::path", target, 0);
    if (roots == nullptr || count < 1 || name == nullptr || *name == '\0')
        return detail::failure("UtilReg::path", target, EINVAL);
    // The root values joined in order, then the name.
    std::string result;
    for (int i = 0; i < count; ++i) {
        std::vector<uint8_t> value;
        if (!validKey(roots[i]) || !getValue(regName(roots[i]), value))
            return detail::failure("UtilReg::path", roots[i] != nullptr ? roots[i] : "", ENOENT);
        std::string root(value.begin(), value.end());
        root.resize(std::strlen(root.c_str()));  // a stored terminating NUL is not part of it
        while (!root.empty() && root.back() == '/') root.pop_back();
        result += root + "/";
    }
    result += name;
    char* out = static_cast<char*>(std::malloc(result.size() + 1));
    if (out == nullptr) return detail::failure("UtilReg::path", target, ENOMEM);
    std::memcpy(out, result.c_str(), result.size() + 1);
    path = out;
    length = result.size();
    return nullptr;
}
