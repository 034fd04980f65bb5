// Registry: values of the processor's view sp<N>/reg/<key>, and file paths
// built from root values.
#include "platform/utilreg.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/detail.h"
#include "platform/host/host.h"

namespace {

using gardhost::detail::Target;

// Keys name files below the registry directory: no empty or ".." parts.
bool validKey(const char* key) {
    if (key == nullptr || *key == '\0' || *key == '/') return false;
    std::string_view k(key);
    return k.find("..") == std::string_view::npos && k.find("//") == std::string_view::npos &&
           k.back() != '/';
}

}  // namespace

ErrlEntry* UtilReg::read(const char* key, void* buffer, std::size_t& size, bool flag, ErrlEntry*) {
    using namespace gardhost;
    const Target target = Target::of(key != nullptr ? key : "");
    if (detail::enter("UtilReg::read", target,
                      detail::argsText("size=%u flag=%d%s", buffer == nullptr ? " buffer=null" : "",
                                       size, flag ? 1 : 0)))
        return detail::failure("UtilReg::read", target, 0);
    if (!validKey(key)) return detail::failure("UtilReg::read", target, EINVAL);
    // Copies at most `size` bytes; a null buffer copies nothing.
    std::size_t length = 0;
    if (!detail::readValue(detail::regName(key).view(), buffer, buffer != nullptr ? size : 0, length))
        return detail::failure("UtilReg::read", target, ENOENT);
    if (buffer == nullptr && size != 0) return detail::failure("UtilReg::read", target, EFAULT);
    size = length;
    return nullptr;
}

ErrlEntry* UtilReg::path(const char* const* roots, int count, const char* name, char*& path,
                         std::size_t& length) {
    using namespace gardhost;
    const Target target = Target::of(name != nullptr ? name : "");
    detail::Name rootList;
    for (int i = 0; roots != nullptr && i < count; ++i)
        rootList.add(i ? "," : "").add(roots[i] != nullptr ? roots[i] : "null");
    if (detail::enter("UtilReg::path", target, detail::argsText("roots=%s", rootList.view())))
        return detail::failure("UtilReg::path", target, 0);
    if (roots == nullptr || count < 1 || name == nullptr || *name == '\0')
        return detail::failure("UtilReg::path", target, EINVAL);
    // The root values joined in order, then the name.
    detail::Name result;
    for (int i = 0; i < count; ++i) {
        char small[256];
        std::vector<char> big;
        std::size_t size = 0;
        if (!validKey(roots[i]) || !detail::readValue(detail::regName(roots[i]).view(), small, sizeof small, size))
            return detail::failure("UtilReg::path", Target::of(roots[i] != nullptr ? roots[i] : ""), ENOENT);
        const char* value = small;
        if (size > sizeof small) {
            big.resize(size);
            detail::readValue(detail::regName(roots[i]).view(), big.data(), size, size);
            value = big.data();
        }
        std::string_view root(value, size);
        root = root.substr(0, root.find('\0'));  // a stored terminating NUL is not part of it
        while (!root.empty() && root.back() == '/') root.remove_suffix(1);
        result.add(root).add("/");
    }
    result.add(name);
    const std::string_view text = result.view();
    char* out = static_cast<char*>(std::malloc(text.size() + 1));
    if (out == nullptr) return detail::failure("UtilReg::path", target, ENOMEM);
    std::memcpy(out, text.data(), text.size());
    out[text.size()] = '\0';
    path = out;
    length = text.size();
    return nullptr;
}
