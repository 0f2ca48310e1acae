#include "vm/process.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "vm/fdwriter.h"

namespace T4VM {

namespace {

bool isclosed(int fd) { return ::fcntl(fd, F_GETFD) == -1 && errno == EBADF; }

}  // namespace

void guardstandarddescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (!isclosed(fd)) continue;
        // open takes the lowest free descriptor, which is this one: the lower ones are open by now.
        // Without /dev/null (a bare chroot) there is nothing better to put there.
        if (::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) < 0) return;
    }
}

void ignorebrokenpipes() { std::signal(SIGPIPE, SIG_IGN); }

int runshell(const std::string& command, bool pipesignalignored) {
    // An ignored signal stays ignored across exec, and commands such as `yes | head -1` count on
    // being ended by it rather than seeing their writes fail.
    if (!pipesignalignored) return std::system(command.c_str());
    std::signal(SIGPIPE, SIG_DFL);
    const int status = std::system(command.c_str());
    std::signal(SIGPIPE, SIG_IGN);
    return status;
}

}  // namespace T4VM
