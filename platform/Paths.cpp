#include "platform/Paths.h"

#include "platform/SysUtils.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

std::string ExePath()
{
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    return std::string(buf, size_t(n));
}

std::string ExeDir()
{
    std::string path = ExePath();
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return "./";
    return path.substr(0, slash + 1);
}

namespace {

bool IsPrivateDirOfUser(const struct stat& st)
{
    return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

} // namespace

std::string PrivateRuntimeDir()
{
    if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg) {
        struct stat st {};
        if (lstat(xdg, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid())
            return xdg;
    }
    std::string base = "/tmp";
    if (const char* tmp = std::getenv("TMPDIR"); tmp && *tmp)
        base = tmp;
    const std::string dir = base + "/varno-" + std::to_string(geteuid());
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        throw Exception("Can not create " + dir + ": " + std::strerror(errno));
    struct stat st {};
    // lstat: a link planted in the shared folder is refused, not followed.
    if (lstat(dir.c_str(), &st) != 0)
        throw Exception("Can not use " + dir + ": " + std::strerror(errno));
    if (!IsPrivateDirOfUser(st))
        throw Exception("Refusing " + dir + ": it is not a private directory of this user");
    return dir;
}

bool FileExists(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool DeleteFile(const std::string& path) { return unlink(path.c_str()) == 0; }
