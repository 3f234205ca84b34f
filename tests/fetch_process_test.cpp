// The real drovik-fetch on loopback: against drovik-server, stopped mid-way and resumed,
// with its server gone for a while and back on the same port, against a server that
// sends broken replies, two on one file, damaged .part files and records, its outputs,
// and signals ignored from the start.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fetch/chunk_map.hpp"
#include "support/hostile.hpp"
#include "support/loopback.hpp"
#include "support/output_file.hpp"
#include "support/process.hpp"
#include "support/wire.hpp"
#include "system/descriptor.hpp"

namespace drovik {
namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t FILE_SIZE = 600000;

// An output file, its .part and the record, all removed at the end.
struct Download : test::DownloadFiles {
    using DownloadFiles::DownloadFiles;

    std::vector<std::string> args(std::uint16_t port, std::uint64_t bytes,
                                  std::vector<std::string> options = {}) const {
        options.insert(options.end(),
                       {"127.0.0.1", std::to_string(port), output.path, std::to_string(bytes)});
        return options;
    }
};

TEST(FetchProcess, DownloadsTheExactFile) {
    const test::RunningServer server = test::start_server();
    const Download download("fetch-exact");
    const test::RunResult result =
        test::run_program(DROVIK_FETCH_BIN, download.args(server.port, 300500, {"-s"}), 60s);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("drovik-fetch: 300500 bytes in ", 0), 0u) << result.err;
    EXPECT_TRUE(download.complete(300500));
}

using Picked = std::function<bool(std::uint64_t chunk)>;

bool first_sixty(std::uint64_t chunk) {
    return chunk < 60;
}

// Sixty chunks, none of them at the start.
bool scattered(std::uint64_t chunk) {
    return chunk < 90 && chunk % 3 != 0;
}

// True when the .part's record holds every chunk `picked` names.
bool recorded(const Download& download, const Picked& picked) {
    const auto map = fetch::decode_chunk_map(download.map.bytes());
    for (std::uint64_t chunk = 0; chunk < FILE_SIZE / 1000; ++chunk) {
        if (picked(chunk) && (!map || !map->held.contains(chunk))) {
            return false;
        }
    }
    return true;
}

// Plays a server that answers, at once, only the GETs for the chunks `picked` names,
// until the .part's record holds them all (at most 30 s). The download is then mid-way
// for certain, and what the .part holds is known, whatever order the replies took.
bool serve_until_recorded(const test::UdpSocket& server, test::Process& fetch, const Download& download,
                          const Picked& picked) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (fetch.running() && std::chrono::steady_clock::now() < deadline) {
        if (recorded(download, picked)) {
            return true;
        }
        const auto datagram = server.receive(20ms);
        const auto get = datagram ? test::parse_get(datagram->bytes) : std::nullopt;
        if (get && picked(get->first / 1000)) {
            server.send_to(datagram->sender, test::data_reply(get->first, get->second));
        }
    }
    return false;
}

// Answers every GET at once until the client ends (at most 30 s): the chunks it asked
// for, or nothing if it did not end.
std::optional<std::set<std::uint64_t>> serve_until_done(const test::UdpSocket& server,
                                                        test::Process& client) {
    std::set<std::uint64_t> asked;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (client.running()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return std::nullopt;
        }
        const auto datagram = server.receive(20ms);
        if (const auto get = datagram ? test::parse_get(datagram->bytes) : std::nullopt) {
            asked.insert(get->first / 1000);
            server.send_to(datagram->sender, test::data_reply(get->first, get->second));
        }
    }
    return asked;
}

struct Stop {
    int signal;
    int status;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const Stop& stop, std::ostream* out) {
    *out << "signal " << stop.signal << ", status " << stop.status;
}

class FetchStopped : public ::testing::TestWithParam<Stop> {};

TEST_P(FetchStopped, KeepsEveryChunkTakenAndResumeAsksOnlyForTheOthers) {
    const Download download("fetch-stopped");
    {
        const test::UdpSocket first_server;
        test::Process fetch(DROVIK_FETCH_BIN, download.args(first_server.port(), FILE_SIZE));
        ASSERT_TRUE(serve_until_recorded(first_server, fetch, download, scattered));
        fetch.signal(GetParam().signal);
        ASSERT_EQ(fetch.wait_exit(10s), GetParam().status) << fetch.err();
        if (GetParam().signal == SIGINT) {
            EXPECT_EQ(fetch.err(), "drovik-fetch: interrupted with 60000 of 600000 bytes (10.0 %) kept in " +
                                       download.part.path + "; --resume continues from there\n");
        }
    }

    const test::UdpSocket server;
    test::Process resumed(DROVIK_FETCH_BIN, download.args(server.port(), FILE_SIZE, {"--resume", "--stats"}));
    const auto asked = serve_until_done(server, resumed);
    ASSERT_TRUE(asked);
    ASSERT_EQ(resumed.wait_exit(0ms), 0) << resumed.err();
    EXPECT_EQ(resumed.err().rfind("drovik-fetch: 540000 bytes in ", 0), 0u) << resumed.err();
    EXPECT_TRUE(std::none_of(asked->begin(), asked->end(), scattered)) << "a chunk kept was asked for again";
    EXPECT_TRUE(download.complete(FILE_SIZE));
}

INSTANTIATE_TEST_SUITE_P(Signals, FetchStopped,
                         ::testing::Values(Stop{SIGKILL, 128 + SIGKILL}, Stop{SIGINT, 130}),
                         [](const auto& info) {
                             return info.param.signal == SIGKILL ? "Killed" : "Interrupted";
                         });

TEST(FetchProcess, WaitsOutAServerRestartedOnTheSamePort) {
    auto first_server = std::make_unique<test::UdpSocket>();
    const std::uint16_t port = first_server->port();
    const Download download("fetch-restart");
    test::Process fetch(DROVIK_FETCH_BIN, download.args(port, FILE_SIZE, {"--stall-timeout", "20"}));
    ASSERT_TRUE(serve_until_recorded(*first_server, fetch, download, first_sixty));

    first_server.reset();
    // The outage itself: long enough for many GETs to be refused.
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(fetch.running()) << fetch.err();
    const std::unique_ptr<test::Process> server = test::start_server_on(port);
    ASSERT_TRUE(server);

    ASSERT_EQ(fetch.wait_exit(60s), 0) << fetch.err();
    EXPECT_EQ(fetch.err(), "");
    EXPECT_TRUE(download.complete(FILE_SIZE));
}

struct SocketFault {
    const char* fault;  // as DROVIK_TEST_FAULT takes it
    const char* name;
};

class FetchSocketFault : public ::testing::TestWithParam<SocketFault> {};

// What the kernel reports about a server (an ICMP error, a shortage), on a receive or a
// send, on the main server's socket or a mirror's, costs a datagram and ends nothing.
TEST_P(FetchSocketFault, AnErrorAboutAServerEndsNothing) {
    const test::RunningServer server = test::start_server();
    const test::RunningServer mirror = test::start_server();
    const Download download("fetch-fault");
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::vector<std::string> env = {
        std::string("LD_PRELOAD=") + DROVIK_SOCKET_FAULTS_LIB,
        std::string("DROVIK_TEST_FAULT=") + GetParam().fault,
        std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0", DROVIK_FETCH_BIN};
    std::vector<std::string> args = env;
    const std::string mirror_name = "127.0.0.1:" + std::to_string(mirror.port);
    for (const std::string& arg : download.args(server.port, 300000, {"-m", mirror_name})) {
        args.push_back(arg);
    }
    const test::RunResult result = test::run_program("/usr/bin/env", args, 60s);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(download.complete(300000));
}

INSTANTIATE_TEST_SUITE_P(Table, FetchSocketFault,
                         ::testing::Values(SocketFault{"recv 40 113",
                                                       "ProhibitedOnAReceive"},               // EHOSTUNREACH
                                           SocketFault{"recv 41 71", "BadHeaderOnAReceive"},  // EPROTO
                                           SocketFault{"send 300 105", "NoBuffersOnASend"}),  // ENOBUFS
                         [](const auto& info) { return std::string(info.param.name); });

// Time it could not run (Ctrl-Z, then fg) is no server's fault.
TEST(FetchProcess, ASuspensionLongerThanTheStallLimitIsNoStall) {
    constexpr std::uint64_t SIZE = 50000;
    const test::UdpSocket server;
    const Download download("fetch-suspended");
    test::Process fetch(DROVIK_FETCH_BIN, download.args(server.port(), SIZE, {"--stall-timeout", "1"}));
    ASSERT_TRUE(server.receive(10s)) << "no GET came";
    fetch.signal(SIGSTOP);
    std::this_thread::sleep_for(2s);  // the suspension itself
    fetch.signal(SIGCONT);
    std::this_thread::sleep_for(300ms);  // a server slow to answer: the suspension must not count
    ASSERT_TRUE(serve_until_done(server, fetch));
    ASSERT_EQ(fetch.wait_exit(0ms), 0) << fetch.err();
    EXPECT_TRUE(download.complete(SIZE));
}

TEST(FetchProcess, GivesUpOnAStallNamingTheRefusingServer) {
    const std::uint16_t port = test::free_udp_port();
    const Download download("fetch-stall");
    const test::RunResult result =
        test::run_program(DROVIK_FETCH_BIN, download.args(port, 5000, {"--stall-timeout", "1"}), 30s);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "drovik-fetch: no new data for 1 s from 127.0.0.1:" + std::to_string(port) +
                              " (refused: nothing listens there)\n");
    EXPECT_TRUE(std::filesystem::exists(download.part.path)) << "the .part is kept";
}

TEST(FetchProcess, TakesOnlyGoodChunksFromAHostileServer) {
    constexpr std::uint64_t SIZE = 24321;
    test::UdpSocket server;
    const Download download("fetch-hostile");
    test::Process fetch(DROVIK_FETCH_BIN, download.args(server.port(), SIZE));
    std::uint64_t broken_sent = 0;
    ASSERT_NO_FATAL_FAILURE(test::serve_hostile(server, fetch, SIZE, broken_sent));
    ASSERT_EQ(fetch.wait_exit(0ms), 0) << fetch.err();
    EXPECT_EQ(fetch.err(), "");
    EXPECT_GT(broken_sent, 0u);
    EXPECT_TRUE(download.complete(SIZE));
}

TEST(FetchProcess, OneRunPerOutputFile) {
    const test::UdpSocket server;
    const Download download("fetch-locked");
    test::Process first(DROVIK_FETCH_BIN, download.args(server.port(), FILE_SIZE));
    ASSERT_TRUE(serve_until_recorded(server, first, download, first_sixty));
    const test::RunResult second =
        test::run_program(DROVIK_FETCH_BIN, download.args(server.port(), FILE_SIZE, {"--resume"}), 10s);
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err, "drovik-fetch: " + download.part.path + " is in use by another drovik-fetch\n");
    ASSERT_TRUE(serve_until_done(server, first));
    ASSERT_EQ(first.wait_exit(0ms), 0) << first.err();
    EXPECT_TRUE(download.complete(FILE_SIZE));
}

// What a FIFO holds once its writer is gone: one read takes it all.
std::string drain(int fd) {
    std::string bytes(1 << 16, '\0');
    bytes.resize(static_cast<std::size_t>(std::max<ssize_t>(0, read(fd, bytes.data(), bytes.size()))));
    return bytes;
}

TEST(FetchProcess, WritesStandardOutputAndAFifoInOrder) {
    constexpr std::uint64_t SIZE = 24321;  // fits a pipe's buffer: nothing need read while it runs
    const test::OutputFile fifo("fetch-fifo");
    ASSERT_EQ(mkfifo(fifo.path.c_str(), 0600), 0);
    const Descriptor reader(open(fifo.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    for (const std::string& output : {std::string("-"), fifo.path}) {
        test::UdpSocket server;
        test::Process fetch(DROVIK_FETCH_BIN, {"127.0.0.1", std::to_string(server.port()), output, "24321"});
        std::uint64_t broken_sent = 0;  // the first chunk comes last
        ASSERT_NO_FATAL_FAILURE(test::serve_hostile(server, fetch, SIZE, broken_sent));
        ASSERT_EQ(fetch.wait_exit(0ms), 0) << fetch.err();
        const std::string written = output == "-" ? fetch.out() : drain(reader.get());
        EXPECT_TRUE(written == test::served_bytes(0, SIZE)) << output;
        EXPECT_FALSE(std::filesystem::exists(output + ".part")) << output;
    }
    EXPECT_TRUE(std::filesystem::is_fifo(fifo.path));
}

// A reader that stops reading holds the download back, not the program: Ctrl-C still
// ends it at once, and says what was written.
TEST(FetchProcess, AReaderThatStopsReadingNeverStopsTheProgram) {
    const test::OutputFile fifo("fetch-stuck-fifo");
    ASSERT_EQ(mkfifo(fifo.path.c_str(), 0600), 0);
    const Descriptor reader(open(fifo.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_GT(fcntl(reader.get(), F_SETPIPE_SZ, 4096), 0);  // full after a few chunks
    test::UdpSocket server;
    test::Process fetch(DROVIK_FETCH_BIN, {"127.0.0.1", std::to_string(server.port()), fifo.path, "600000"});
    // Answered far more than the FIFO holds: a program that writes whatever comes is
    // stuck in a write by then.
    int unread = 0;
    int answered = 0;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while ((unread == 0 || answered < 100) && std::chrono::steady_clock::now() < deadline) {
        const auto datagram = server.receive(20ms);
        if (const auto get = datagram ? test::parse_get(datagram->bytes) : std::nullopt) {
            server.send_to(datagram->sender, test::data_reply(get->first, get->second));
            ++answered;
        }
        ASSERT_EQ(ioctl(reader.get(), FIONREAD, &unread), 0);
    }
    ASSERT_GT(unread, 0) << "nothing reached the FIFO";
    fetch.signal(SIGINT);
    ASSERT_EQ(fetch.wait_exit(10s), 130) << fetch.err();
    EXPECT_NE(fetch.err().find("written to " + fifo.path + ", which cannot be resumed"), std::string::npos)
        << fetch.err();
}

TEST(FetchProcess, RefusesAnOutputItCannotWriteBeforeAnyGet) {
    const test::UdpSocket server;
    const test::OutputFile directory("fetch-directory");
    std::filesystem::create_directory(directory.path);
    const std::string missing = directory.path + "/none/file.bin";
    const std::pair<std::string, std::string> cases[] = {
        {directory.path, directory.path + " is a directory"},
        {missing, "Error while executing open " + missing + ".part: No such file or directory."},
    };
    for (const auto& [output, line] : cases) {
        const test::RunResult result =
            test::run_program(DROVIK_FETCH_BIN, {"127.0.0.1", std::to_string(server.port()), output, "5000"});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "drovik-fetch: " + line + "\n");
    }
    EXPECT_FALSE(server.receive(0ms)) << "a GET went out";
}

// The files of a damaged state: a download's, the record's temporary, and a file of
// someone else's that a planted link leads to.
struct Scene : Download {
    explicit Scene(const std::string& name)
        : Download(name), temporary(name, ".part.map.tmp"), victim(name + "-victim") {}

    // `text` with {out}, {part} and {map} standing for the paths.
    std::string named(std::string text) const {
        for (const auto& [key, path] :
             {std::pair{"{out}", &output.path}, {"{part}", &part.path}, {"{map}", &map.path}}) {
            for (std::size_t at; (at = text.find(key)) != std::string::npos;) {
                text.replace(at, std::string_view(key).size(), *path);
            }
        }
        return text;
    }

    test::OutputFile temporary;
    test::OutputFile victim;
};

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// What a path is: kind, inode, size and time of change; "left as it was" when unchanged.
std::string state_of(const std::string& path) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0) {
        return "none";
    }
    return std::to_string(status.st_mode) + " " + std::to_string(status.st_ino) + " " +
           std::to_string(status.st_size) + " " + std::to_string(status.st_mtim.tv_sec) + "." +
           std::to_string(status.st_mtim.tv_nsec);
}

std::vector<std::string> states_of(const Scene& scene) {
    return {state_of(scene.output.path), state_of(scene.part.path), state_of(scene.map.path),
            state_of(scene.temporary.path), state_of(scene.victim.path)};
}

// What a download stopped with SIGINT leaves: its .part and record, with 60 chunks.
struct Leftover {
    std::string part;
    std::string map;
};

Leftover interrupted(const std::string& name) {
    const Download download(name);
    const test::UdpSocket server;
    test::Process fetch(DROVIK_FETCH_BIN, download.args(server.port(), FILE_SIZE));
    EXPECT_TRUE(serve_until_recorded(server, fetch, download, scattered));
    fetch.signal(SIGINT);
    EXPECT_EQ(fetch.wait_exit(10s), 130);
    return {download.part.bytes(), download.map.bytes()};
}

struct DamagedState {
    const char* name;
    // Lays the state out from two downloads of the same size, each stopped half-way.
    std::function<void(const Scene&, const Leftover& a, const Leftover& b)> make;
    std::vector<std::string> options;
    int status;
    std::string line;  // the one line it ends with, if any
    // Done once 60 chunks are recorded: a state damaged during the run.
    std::function<void(const Scene&)> during = {};
};

// A record belongs to its .part and a .part holds what its record says, or the program
// refuses with one line and touches nothing; the files it makes are made, never followed.
TEST(FetchProcess, EveryDamagedStateIsRefusedOrLeftAlone) {
    const Leftover a = interrupted("fetch-leftover-a");
    const Leftover b = interrupted("fetch-leftover-b");
    const std::string older = test::served_bytes(0, 5000);  // a .part with no record: its record is read
    const std::string mismatch = "{map} is not the record of {part}; --restart starts over";
    const std::string irregular = "{map} is not a regular file; --restart starts over";
    const DamagedState states[] = {
        {"RecordDeleted",
         [](const Scene& s, const Leftover& a, const Leftover&) { write_file(s.part.path, a.part); },
         {"--resume"},
         1,
         "{part} has no record of the chunks it holds ({map}); --restart starts over"},
        {"PartCutShort",
         [](const Scene& s, const Leftover& a, const Leftover&) {
             write_file(s.part.path, a.part.substr(0, a.part.size() / 2));
             write_file(s.map.path, a.map);
         },
         {"--resume"},
         1,
         mismatch},
        {"PartCutShortAndRecordDeleted",  // its holes are no chunks: asked again, the file exact
         [](const Scene& s, const Leftover& a, const Leftover&) {
             write_file(s.part.path, a.part.substr(0, a.part.size() / 2));
         },
         {"--resume"},
         0,
         ""},
        {"RecordsSwapped",
         [](const Scene& s, const Leftover& a, const Leftover& b) {
             write_file(s.part.path, a.part);
             write_file(s.map.path, b.map);
         },
         {"--resume"},
         1,
         mismatch},
        {"PartOfAnotherProgram",
         [](const Scene& s, const Leftover& a, const Leftover&) {
             write_file(s.part.path, std::string(FILE_SIZE, 'x'));
             write_file(s.map.path, a.map);
         },
         {"--resume"},
         1,
         mismatch},
        {"PartALink",
         [](const Scene& s, const Leftover&, const Leftover&) {
             std::filesystem::create_symlink(s.victim.path, s.part.path);
         },
         {"--restart"},
         1,
         "{part} is a symbolic link, which drovik-fetch does not follow"},
        {"RecordAFifo",
         [&](const Scene& s, const Leftover&, const Leftover&) {
             write_file(s.part.path, older);
             mkfifo(s.map.path.c_str(), 0600);
         },
         {"--resume"},
         1,
         irregular},
        {"RecordALinkToDevZero",
         [&](const Scene& s, const Leftover&, const Leftover&) {
             write_file(s.part.path, older);
             std::filesystem::create_symlink("/dev/zero", s.map.path);
         },
         {"--resume"},
         1,
         irregular},
        {"RecordOf2GiB",
         [&](const Scene& s, const Leftover&, const Leftover&) {
             write_file(s.part.path, older);
             write_file(s.map.path, "");
             std::filesystem::resize_file(s.map.path, 1ULL << 31);
         },
         {"--resume"},
         1,
         "{map} is damaged; --restart starts over"},
        {"RecordTemporaryALink",
         [](const Scene& s, const Leftover&, const Leftover&) {
             std::filesystem::create_symlink(s.victim.path, s.temporary.path);
         },
         {},
         0,
         ""},
        {"PartReplacedDuringTheRun",
         [](const Scene&, const Leftover&, const Leftover&) {},
         {},
         1,
         "{part} was replaced by another file during the download; {out} is left as it was",
         [](const Scene& s) {
             write_file(s.victim.path, std::string(FILE_SIZE, 'x'));
             std::filesystem::rename(s.victim.path, s.part.path);
         }},
    };
    for (const DamagedState& state : states) {
        SCOPED_TRACE(state.name);
        const Scene scene(std::string("fetch-damaged-") + state.name);
        write_file(scene.victim.path, "someone else's");
        state.make(scene, a, b);
        std::vector<std::string> before = states_of(scene);
        const test::UdpSocket server;
        test::Process fetch(DROVIK_FETCH_BIN, scene.args(server.port(), FILE_SIZE, state.options));
        if (state.during && serve_until_recorded(server, fetch, scene, first_sixty)) {
            state.during(scene);
            before = states_of(scene);
        }
        const auto asked = serve_until_done(server, fetch);
        if (!asked) {
            ADD_FAILURE() << "did not end";
            continue;
        }
        EXPECT_EQ(fetch.wait_exit(0ms), state.status);
        EXPECT_EQ(fetch.err(), state.line.empty() ? "" : scene.named("drovik-fetch: " + state.line + "\n"));
        if (state.status == 0) {
            EXPECT_TRUE(scene.complete(FILE_SIZE));
            EXPECT_EQ(state_of(scene.victim.path), before[4]);
        } else if (state.during) {
            EXPECT_EQ(state_of(scene.output.path), "none");
            EXPECT_EQ(state_of(scene.part.path), before[1]);
        } else {
            EXPECT_TRUE(asked->empty()) << "a GET went out";
            EXPECT_EQ(states_of(scene), before) << "a file was touched";
            EXPECT_LT(fetch.peak_kb(), 200 * 1024) << "read too much";
        }
    }
}

// Written through a symbolic link (to a file, standard output as a file or a pipe), the
// target gets the file and the link stays; what it cannot write (a closed standard output,
// an empty or too long name, a FIFO nothing reads) is refused before any GET, nothing made.
TEST(FetchProcess, WritesThroughALinkAndRefusesAnOutputBeforeAnyGet) {
    constexpr std::uint64_t SIZE = 24321;  // fits a pipe's buffer
    const test::OutputFile link("fetch-link");
    const test::OutputFile file("fetch-link-target");
    const test::OutputFile to_stdout("fetch-stdout-link");  // what /dev/stdout is
    const test::OutputFile stdout_file("fetch-stdout-file");
    const test::OutputFile long_name(std::string(245, 'n'));
    const test::OutputFile fifo("fetch-unread-fifo");
    ASSERT_EQ(mkfifo(fifo.path.c_str(), 0600), 0);
    std::filesystem::create_symlink(file.path, link.path);
    std::filesystem::create_symlink("/proc/self/fd/1", to_stdout.path);
    write_file(file.path, std::string(2 * SIZE, 'x'));  // longer than the download: emptied first
    struct Case {
        std::string output;
        std::string redirect;  // of the shell that starts it; standard output is a pipe without one
        int status;
        std::string err;
        const test::OutputFile* received;  // the file that gets the download; none for the pipe
    };
    const Case cases[] = {
        {link.path, "", 0, "", &file},
        {to_stdout.path, ">" + stdout_file.path, 0, "", &stdout_file},
        {to_stdout.path, "", 0, "", nullptr},
        {"-", ">&-", 1, "drovik-fetch: standard output is not open for writing\n", nullptr},
        {"", "", 2, "OUTPUT_FILE: an empty name names no file\nRun with --help for more information.\n",
         nullptr},
        {long_name.path, "", 1,
         "drovik-fetch: " + long_name.path +
             " is too long: a name of at most 242 bytes (a path of 4082) leaves room for .part.map.tmp\n",
         nullptr},
        {fifo.path, "", 1, "drovik-fetch: nothing opened " + fifo.path + " for reading in 1 s\n", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output + " " + c.redirect);
        std::error_code ignored;
        const bool was_link = std::filesystem::is_symlink(c.output, ignored);
        const test::UdpSocket server;
        test::Process fetch(
            "/bin/sh", {"-c", "exec \"$0\" \"$@\" " + c.redirect, DROVIK_FETCH_BIN, "--stall-timeout", "1",
                        "127.0.0.1", std::to_string(server.port()), c.output, std::to_string(SIZE)});
        const auto asked = serve_until_done(server, fetch);
        if (!asked) {
            ADD_FAILURE() << "did not end";
            continue;
        }
        EXPECT_EQ(fetch.wait_exit(0ms), c.status);
        EXPECT_EQ(fetch.err(), c.err);
        if (c.status == 0) {
            const std::string written = c.received ? c.received->bytes() : fetch.out();
            EXPECT_TRUE(written == test::served_bytes(0, SIZE));
        } else {
            EXPECT_TRUE(asked->empty()) << "a GET went out";
        }
        EXPECT_EQ(std::filesystem::is_symlink(c.output, ignored), was_link);
        EXPECT_FALSE(std::filesystem::exists(c.output + ".part", ignored));
    }
}

// As under nohup or after trap '' INT: a stop signal ignored from the start stays ignored.
TEST(FetchProcess, StopSignalsIgnoredAtTheStartStayIgnored) {
    const test::UdpSocket server;
    const Download download("fetch-ignoring");
    std::vector<std::string> args = {"-c", "trap '' HUP INT; exec \"$0\" \"$@\"", DROVIK_FETCH_BIN};
    for (const std::string& arg : download.args(server.port(), FILE_SIZE)) {
        args.push_back(arg);
    }
    test::Process fetch("/bin/sh", args);
    ASSERT_TRUE(serve_until_recorded(server, fetch, download, first_sixty));
    fetch.signal(SIGHUP);
    fetch.signal(SIGINT);
    ASSERT_TRUE(serve_until_done(server, fetch));
    EXPECT_EQ(fetch.wait_exit(0ms), 0) << fetch.err();
    EXPECT_TRUE(download.complete(FILE_SIZE));
}

}  // namespace
}  // namespace drovik
