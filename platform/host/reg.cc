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

// The last path built: the library asks for the same one on every file
// cycle, and it holds until a value changes or the position does.
struct Memo {
    uint64_t generation = 0;
    int position = -1;
    std::string key;  // the roots and the name, each ended by a NUL
    std::string path;
};
thread_local Memo t_memo;

// The root values joined in order, then the name; the failing root's key
// when one is missing.
int joinRoots(const char* const* roots, int count, const char* name, std::string& out,
              const char*& missing) {
    gardhost::detail::Name result;
    for (int i = 0; i < count; ++i) {
        char small[256];
        std::vector<char> big;
        std::size_t size = 0;
        missing = roots[i] != nullptr ? roots[i] : "";
        if (!validKey(roots[i])) return EINVAL;
        if (int err = gardhost::detail::readValue(gardhost::detail::regName(roots[i]).view(), small, sizeof small, size);
            err != 0)
            return err;
        const char* value = small;
        if (size > sizeof small) {
            big.resize(size);
            gardhost::detail::readValue(gardhost::detail::regName(roots[i]).view(), big.data(), size, size);
            value = big.data();
        }
        std::string_view root(value, size);
        root = root.substr(0, root.find('\0'));  // a stored terminating NUL is not part of it
        while (!root.empty() && root.back() == '/') root.remove_suffix(1);
        result.add(root).add("/");
    }
    out.assign(result.add(name).view());
    return 0;
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
    if (int err = detail::readValue(detail::regName(key).view(), buffer, buffer != nullptr ? size : 0, length);
        err != 0)
        return detail::failure("UtilReg::read", target, err);
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
    const std::string_view end("\0", 1);
    detail::Name key;
    for (int i = 0; i < count; ++i) key.add(roots[i] != nullptr ? roots[i] : "").add(end);
    key.add(name).add(end);
    const uint64_t generation = detail::valuesGeneration();
    const int sp = position();
    if (t_memo.generation != generation || t_memo.position != sp || t_memo.key != key.view()) {
        t_memo.position = -1;  // nothing remembered until the new path is whole
        const char* missing = "";
        if (int err = joinRoots(roots, count, name, t_memo.path, missing); err != 0)
            return detail::failure("UtilReg::path", Target::of(missing), err);
        t_memo.key.assign(key.view());
        t_memo.generation = generation;
        t_memo.position = sp;
    }
    const std::string_view text = t_memo.path;
    char* out = static_cast<char*>(std::malloc(text.size() + 1));
    if (out == nullptr) return detail::failure("UtilReg::path", target, ENOMEM);
    std::memcpy(out, text.data(), text.size());
    out[text.size()] = '\0';
    path = out;
    length = text.size();
    return nullptr;
}
