// Opening a page with the desktop's opener.
#include "platform/web_page.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

extern char** environ;

namespace speckmend {

void openWebPage(const std::string& address) {
    // The opener is started directly, not through a shell, so the address
    // cannot be read as shell syntax. Its output is sent to /dev/null: the
    // console belongs to the program's own lines.
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return;
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    char* const argv[] = {const_cast<char*>("xdg-open"), const_cast<char*>(address.c_str()), nullptr};
    // Not waited for: some openers run the browser in the foreground, and the
    // program ends right after this call anyway.
    posix_spawnp(&pid, "xdg-open", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
}

}  // namespace speckmend
