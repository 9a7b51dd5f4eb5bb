#include "tests/test_util.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>

#include "platform/platform.h"

namespace zorvex::test {

#ifdef _WIN32
TempDir::TempDir(const fs::path& base) {
    for (unsigned attempt = 0;; ++attempt) {
        fs::path candidate = (base.empty() ? fs::temp_directory_path() : base) /
                             ("zorvex-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt));
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS || attempt > 10000) std::abort();
    }
}
#else
TempDir::TempDir(const fs::path& base) {
    std::string pattern = ((base.empty() ? fs::temp_directory_path() : base) / "zorvex-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    path_ = pattern;
}
#endif

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

#ifdef _WIN32
// The archivers that make fixtures are POSIX programs: on Windows no command
// runs, and tests that need one skip.
int run(const std::string&) { return -1; }

std::string runOutput(const std::string&, int* status) {
    if (status) *status = -1;
    return std::string();
}

bool haveTool(const std::string&) { return false; }
#else
int run(const std::string& command) {
    int status = std::system(command.c_str());
    if (status == -1) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string runOutput(const std::string& command, int* status) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        if (status) *status = -1;
        return out;
    }
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    int rc = pclose(pipe);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

bool haveTool(const std::string& program) {
    return run("command -v '" + program + "' >/dev/null 2>&1") == 0;
}
#endif

std::vector<uint8_t> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const void* data, size_t size) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

void writeFile(const fs::path& path, const std::string& text) { writeFile(path, text.data(), text.size()); }

std::vector<uint8_t> sampleData(size_t size, uint32_t seed) {
    static const char* const words[] = {"archive ", "stream ", "folder ", "entry ", "zorvex ", "block ",
                                        "window ", "\n", "0123456789 ", "data "};
    std::mt19937 rng(seed);
    std::vector<uint8_t> out;
    out.reserve(size);
    while (out.size() < size) {
        uint32_t r = rng();
        if (r % 8 == 0) {
            out.push_back(static_cast<uint8_t>(r >> 8));  // some noise
        } else {
            for (const char* w = words[(r >> 4) % 10]; *w && out.size() < size; ++w) out.push_back(*w);
        }
    }
    return out;
}

std::optional<fs::path> corpusDir() {
    fs::path dir = fs::path(ZORVEX_SOURCE_DIR).parent_path() / "shared" / "corpus";
    if (fs::exists(dir / "MANIFEST.tsv")) return dir;
    return std::nullopt;
}

std::u16string enginePath(const fs::path& path) {
    return platform::fromNativePath(fs::absolute(path).lexically_normal().native());
}

std::vector<uint8_t> readAll(InStream* stream) {
    std::vector<uint8_t> out;
    uint8_t buf[65536];
    int n;
    while ((n = stream->read(buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
    return out;
}

namespace {

constexpr std::array<uint32_t, 64> kSha256Rounds = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void sha256Block(uint32_t h[8], const uint8_t* p) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) w[i] = uint32_t(p[4 * i]) << 24 | p[4 * i + 1] << 16 | p[4 * i + 2] << 8 | p[4 * i + 3];
    for (int i = 16; i < 64; ++i) {
        uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
    for (int i = 0; i < 64; ++i) {
        uint32_t t1 = k + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kSha256Rounds[i] + w[i];
        uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        k = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e, h[5] += f, h[6] += g, h[7] += k;
}

}  // namespace

std::string sha256Hex(const std::vector<uint8_t>& data) {
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::vector<uint8_t> m(data);
    uint64_t bits = uint64_t(data.size()) * 8;
    m.push_back(0x80);
    while (m.size() % 64 != 56) m.push_back(0);
    for (int i = 7; i >= 0; --i) m.push_back(uint8_t(bits >> (8 * i)));
    for (size_t i = 0; i < m.size(); i += 64) sha256Block(h, m.data() + i);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (uint32_t v : h)
        for (int i = 28; i >= 0; i -= 4) out.push_back(hex[(v >> i) & 15]);
    return out;
}

std::string cliPath() { return ZORVEX_CLI; }

#ifndef _WIN32
int interruptWhileWriting(const std::vector<std::string>& arguments, const fs::path& folder, int signal) {
    std::vector<std::string> texts = arguments;
    std::vector<char*> argv;
    for (std::string& text : texts) argv.push_back(text.data());
    argv.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, signal);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) return -1;
    // A file open for writing in `folder`, named or not (its /proc link says which folder).
    const fs::path target = fs::weakly_canonical(folder);
    auto writing = [&] {
        std::error_code error;
        for (auto& item : fs::directory_iterator(fs::path("/proc") / std::to_string(pid) / "fd", error))
            if (fs::read_symlink(item.path(), error).parent_path() == target) return true;
        return false;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!writing() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    kill(pid, signal);
    int status = 0;
    return waitpid(pid, &status, 0) == pid ? status : -1;
}
#endif

}  // namespace zorvex::test
