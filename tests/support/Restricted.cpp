#include "tests/support/Restricted.h"

#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

TChildResult RunInChild(const std::function<int()>& Body, TChildOptions Options)
{
    TChildResult result;
    const pid_t pid = fork();
    if (pid < 0)
        return result;
    if (pid == 0) {
        if (Options.OwnMountNamespace
            && (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0))
            _exit(126);
        if (Options.AsNobody
            && (setgroups(0, nullptr) != 0 || setresgid(NogroupGid, NogroupGid, NogroupGid) != 0
                || setresuid(NobodyUid, NobodyUid, NobodyUid) != 0))
            _exit(126);
        int status = 125;
        try {
            status = Body();
        } catch (...) {
        }
        // No exit handlers: they belong to the parent's test program.
        _exit(status);
    }
    int status = 0;
    rusage usage {};
    while (wait4(pid, &status, 0, &usage) < 0) {
    }
    result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.MaxRssKiB = usage.ru_maxrss;
    return result;
}

bool BindReadOnly(const std::string& folder)
{
    return mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0
           && mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
}

bool MountTmpfs(const std::string& folder, const std::string& size)
{
    const std::string options = "size=" + size + ",mode=0777";
    return mount("varno-test", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
}
