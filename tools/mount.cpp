// `zorvex mount`: an archive as a read-only folder through libfuse3, served
// by a multi-threaded loop (the tree and its locks are tools/mount_tree.h).
#define FUSE_USE_VERSION 312
#include <fuse.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "codecs/crypto/secret.h"
#include "tools/mount.h"
#include "tools/mount_tree.h"
#include "tools/password.h"

extern char** environ;

namespace zorvex::cli {

namespace {

constexpr int kMaxDomains = 16;
constexpr int kMaxThreads = 16;

// The archive this process serves: FUSE's callbacks take no object.
MountedArchive* mounted = nullptr;

void fill(struct stat* st, const MountAttributes& attributes) {
    std::memset(st, 0, sizeof *st);
    mode_t type = attributes.kind == MountAttributes::Kind::kFolder         ? S_IFDIR
                  : attributes.kind == MountAttributes::Kind::kSymbolicLink ? S_IFLNK
                                                                            : S_IFREG;
    st->st_mode = type | attributes.permissions;
    st->st_ino = attributes.inode;
    st->st_nlink = attributes.links;
    st->st_size = attributes.size;
    st->st_blocks = (attributes.size + 511) / 512;
    st->st_uid = getuid();
    st->st_gid = getgid();
    st->st_mtime = st->st_ctime = st->st_atime = attributes.time;
}

int getattr(const char* path, struct stat* st, fuse_file_info*) {
    int node = mounted->lookup(path);
    if (node < 0) return node;
    fill(st, mounted->attributes(node));
    return 0;
}

int readlink(const char* path, char* buffer, size_t size) {
    int node = mounted->lookup(path);
    if (node < 0) return node;
    std::string target;
    if (int status = mounted->linkTarget(node, target); status < 0) return status;
    if (size == 0) return -EINVAL;
    size_t length = std::min(target.size(), size - 1);
    std::memcpy(buffer, target.data(), length);
    buffer[length] = '\0';
    return 0;
}

int readdir(const char* path, void* buffer, fuse_fill_dir_t filler, off_t, fuse_file_info*, fuse_readdir_flags) {
    int node = mounted->lookup(path);
    if (node < 0) return node;
    filler(buffer, ".", nullptr, 0, fuse_fill_dir_flags(0));
    filler(buffer, "..", nullptr, 0, fuse_fill_dir_flags(0));
    return mounted->children(node, [&](const std::string& name, const MountAttributes& attributes) {
        struct stat st;
        fill(&st, attributes);
        filler(buffer, name.c_str(), &st, 0, FUSE_FILL_DIR_PLUS);
    });
}

int open(const char* path, fuse_file_info* info) {
    if ((info->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
    if (!mounted->unchanged()) return -ESTALE;
    int node = mounted->lookup(path);
    if (node < 0) return node;
    if (int status = mounted->openData(node); status < 0) return status;
    info->fh = uint64_t(node);
    info->keep_cache = 1;  // the data never changes while mounted
    return 0;
}

int read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* info) {
    return mounted->read(int(info->fh), buffer, size, offset);
}

int release(const char*, fuse_file_info* info) {
    mounted->closeData(int(info->fh));
    return 0;
}

void* init(fuse_conn_info* connection, fuse_config* config) {
    // A file's reads in the order its reader makes them: reads of one entry
    // are served one at a time anyway, and out of order they would send a
    // decoder back to a restart point.
    connection->want &= ~unsigned(FUSE_CAP_ASYNC_READ);
    config->use_ino = 1;  // hard links show as one file
    config->kernel_cache = 1;
    config->entry_timeout = config->attr_timeout = config->negative_timeout = 3600;
    return nullptr;
}

fuse_operations operations() {
    fuse_operations ops{};
    ops.getattr = getattr;
    ops.readlink = readlink;
    ops.readdir = readdir;
    ops.open = open;
    ops.read = read;
    ops.release = release;
    ops.init = init;
    return ops;
}

// A name for the mount table, without the characters that separate options.
std::string fileSystemName(const std::string& archive) {
    std::string name = archive;
    for (char& c : name)
        if (c == ',' || c == '\\' || c == '=') c = '_';
    return name;
}

// "zorvex: SUBJECT: what failed". Not through a Reporter: its progress line
// runs a thread, and the process must have no thread but its own when it forks.
void reportError(const std::string& subject, const std::string& text) {
    std::fprintf(stderr, "zorvex: %s: %s\n", subject.c_str(), text.c_str());
}

// In the background the process forks before the engine opens anything (a
// decoder's worker threads would not survive the fork); the child says over
// `ready` when the mount stands, and its errors until then reach the terminal.
void detachFromTerminal(int ready) {
    char mounted = 0;
    if (::write(ready, &mounted, 1) != 1) return;
    ::close(ready);
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        if (null > STDERR_FILENO) ::close(null);
    }
    if (::chdir("/") != 0) return;
}

// In the parent: 0 once the child reports the mount, 1 when it ends without.
int waitForMount(pid_t child, int ready) {
    char mounted = 1;
    bool told = ::read(ready, &mounted, 1) == 1;
    ::close(ready);
    if (told && mounted == 0) return 0;
    int status = 0;
    ::waitpid(child, &status, 0);
    return 1;
}

int serve(const std::string& archive, const std::string& mountpoint, int ready,
          const std::vector<std::string>& fuseOptions) {
    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    fuse_opt_add_arg(&args, "zorvex");
    fuse_opt_add_arg(&args, "-o");
    fuse_opt_add_arg(&args, ("ro,default_permissions,subtype=zorvex,fsname=" + fileSystemName(archive)).c_str());
    for (const std::string& option : fuseOptions) {
        fuse_opt_add_arg(&args, "-o");
        fuse_opt_add_arg(&args, option.c_str());
    }
    fuse_operations ops = operations();
    fuse* fs = fuse_new(&args, &ops, sizeof ops, nullptr);
    fuse_opt_free_args(&args);
    if (!fs) return 1;
    int status = 1;
    if (fuse_mount(fs, mountpoint.c_str()) == 0) {
        fuse_loop_config* config = fuse_loop_cfg_create();
        fuse_loop_cfg_set_max_threads(config, kMaxThreads);
        if (ready >= 0) detachFromTerminal(ready);
        if (fuse_set_signal_handlers(fuse_get_session(fs)) == 0) {
            status = fuse_loop_mt(fs, config) == 0 ? 0 : 1;
            fuse_remove_signal_handlers(fuse_get_session(fs));
        }
        fuse_loop_cfg_destroy(config);
        fuse_unmount(fs);
    }
    fuse_destroy(fs);
    return status;
}

// The end of the option that starts at `start` of an -o list: the next
// comma that no backslash escapes (libfuse's own parser takes them so).
size_t optionEnd(const std::string& list, size_t start) {
    size_t at = start;
    while (at < list.size() && list[at] != ',') at += list[at] == '\\' && at + 1 < list.size() ? 2 : 1;
    return at;
}

// An option's value with its escapes taken out: \, is a comma, \\ a backslash.
std::string unescaped(std::string_view value) {
    std::string text;
    text.reserve(value.size());
    for (size_t at = 0; at < value.size(); ++at) {
        if (value[at] == '\\' && at + 1 < value.size()) ++at;
        text.push_back(value[at]);
    }
    return text;
}

// Takes zorvex's own options from the -o lists and leaves FUSE's (escapes
// and all, for its parser). A password is zeroed in the lists once taken.
void parseOptions(std::vector<std::string>& lists, MountSettings& settings, std::vector<std::string>& fuseOptions) {
    for (std::string& list : lists) {
        for (size_t start = 0; start <= list.size();) {
            const size_t from = start;
            const size_t end = optionEnd(list, start);
            std::string_view option(list.data() + start, end - start);
            start = end + 1;
            if (option.empty()) continue;
            if (option.rfind("readers=", 0) == 0) {
                settings.domains = std::clamp(std::atoi(unescaped(option.substr(8)).c_str()), 1, kMaxDomains);
            } else if (option.rfind("password=", 0) == 0) {
                std::string written(option.substr(9));
                std::string password = unescaped(written);
                crypto::secureZero(list.data() + from, end - from);
                givePassword(password, written);
                crypto::secureZero(written.data(), written.size());
            } else {
                fuseOptions.emplace_back(option);
            }
        }
    }
}

int mountCommand(const std::string& archive, const std::string& mountpoint, bool foreground,
                 std::vector<std::string>& options) {
    MountSettings settings;
    settings.passwords = commandPasswords();
    std::vector<std::string> fuseOptions;
    parseOptions(options, settings, fuseOptions);
    int ready = -1;
    if (!foreground) {
        int channel[2];
        if (::pipe(channel) != 0) {
            reportError(archive, std::string("cannot start in the background: ") + std::strerror(errno));
            return 1;
        }
        pid_t child = ::fork();
        if (child != 0) {
            ::close(channel[1]);
            if (child > 0) return waitForMount(child, channel[0]);
            reportError(archive, std::string("cannot start in the background: ") + std::strerror(errno));
            return 1;
        }
        // The server lives as long as the mount: it keeps none of the files
        // its starter had open (one in another mount would keep that busy).
        ::close_range(3, unsigned(channel[1]) - 1, 0);
        ::close_range(unsigned(channel[1]) + 1, ~0u, 0);
        ::setsid();
        ready = channel[1];
    }
    std::string error;
    std::unique_ptr<MountedArchive> tree = MountedArchive::open(archive, settings, error);
    if (!tree) {
        reportError(archive, error);
        return 1;
    }
    mounted = tree.get();
    int status = serve(archive, mountpoint, ready, fuseOptions);
    mounted = nullptr;
    if (status != 0) reportError(archive, "cannot mount on " + mountpoint);
    return status;
}

int unmountCommand(const std::string& mountpoint) {
    // Root unmounts directly; anyone else through the setuid helper, which says itself what failed.
    if (::geteuid() == 0) {
        if (::umount(mountpoint.c_str()) == 0) return 0;
        reportError(mountpoint, std::string("cannot unmount: ") + std::strerror(errno));
        return 1;
    }
    const char* argv[] = {"fusermount3", "-u", "--", mountpoint.c_str(), nullptr};
    pid_t child = 0;
    int status = 0;
    if (posix_spawnp(&child, "fusermount3", nullptr, nullptr, const_cast<char**>(argv), environ) == 0 &&
        waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return 0;
    reportError(mountpoint, "cannot unmount");
    return 1;
}

}  // namespace

MountCommands::MountCommands(CLI::App& app) {
    mount_ = app.add_subcommand("mount", "Show an archive as a read-only folder (FUSE)");
    mount_->add_option("ARCHIVE", archive_, "Archive to mount")->required();
    mount_->add_option("MOUNTPOINT", mountpoint_, "Empty folder to mount it on")->required();
    mount_->add_flag("-f,--foreground", foreground_, "Stay in the foreground");
    mount_->add_option("-o", options_,
                       "Options: readers=N (engine copies reading in parallel), password=TEXT (of encrypted "
                       "entries, a comma in it written \\,; else asked on the terminal when needed), FUSE options");
    unmount_ = app.add_subcommand("unmount", "Unmount a folder mounted by zorvex mount");
    unmount_->add_option("MOUNTPOINT", mountpoint_, "Mounted folder")->required();
}

std::optional<int> MountCommands::run() {
    if (*mount_) return mountCommand(archive_, mountpoint_, foreground_, options_);
    if (*unmount_) return unmountCommand(mountpoint_);
    return std::nullopt;
}

}  // namespace zorvex::cli
