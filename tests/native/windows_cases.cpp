// The platform layer's Windows family: the file-system calls answer ENOSYS,
// as the native file-system route is left out of Windows builds and the
// modules take pathlib's own steps there.
#include <cerrno>

#include "common/platform/platform.h"
#include "harness.h"

namespace {

namespace platform = tw::platform;

NATIVE_TEST(file_system_calls_are_not_here) {
    platform::FileInfo info;
    std::string text;
    std::size_t done = 1;
    CHECK_EQ(platform::status("C:/", info), ENOSYS);
    CHECK_EQ(platform::link_status("C:/", info), ENOSYS);
    CHECK_EQ(platform::read_link("C:/", text), ENOSYS);
    CHECK_EQ(platform::current_folder(text), ENOSYS);
    CHECK_EQ(platform::home_of_current_user(text), ENOSYS);
    platform::FileDescriptor file;
    CHECK_EQ(file.open("C:/x", platform::kReadOnly), ENOSYS);
    CHECK(!file);
    CHECK_EQ(platform::read_some(0, &text, 0, done), ENOSYS);
    CHECK_EQ(done, std::size_t{0});
    CHECK_EQ(platform::try_lock_exclusive(0), ENOSYS);
    platform::Directory folder;
    CHECK_EQ(folder.open("C:/"), ENOSYS);
    std::string_view name;
    int error = 0;
    CHECK(!folder.next(name, error));
    CHECK_EQ(error, ENOSYS);
}

} // namespace
