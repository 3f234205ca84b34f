#pragma once
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace drovik::test {

// A child process started by a test, with its standard output and error
// captured through pipes. Killed when the object goes out of scope.
class Process {
public:
    Process(const std::string& program, const std::vector<std::string>& args);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return child; }
    // Waits at most `limit` for the exit; the exit status, or nothing on a time-out.
    std::optional<int> wait_exit(std::chrono::milliseconds limit);
    // True while the child has not ended.
    bool running();
    void signal(int signal_number) const;
    // The largest resident memory it had, in kB; known once it has ended.
    long peak_kb() const { return peak; }
    // Everything the child wrote so far (reads the pipes without blocking).
    const std::string& out();
    const std::string& err();

private:
    void drain_pipes();

    pid_t child = -1;
    int out_fd = -1;
    int err_fd = -1;
    std::string out_text;
    std::string err_text;
    std::optional<int> status;
    long peak = 0;
};

// Runs a program to its end (at most `limit`), returning exit status, stdout and stderr.
struct RunResult {
    int status;
    std::string out;
    std::string err;
};
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      std::chrono::milliseconds limit = std::chrono::seconds(30));

// From now on, what a program this test started leaves running when it ends becomes this
// process's child, for children_left to find.
void adopt_orphans();

// This process's children still running after `limit` (the others are reaped); those are
// then killed.
std::vector<pid_t> children_left(std::chrono::milliseconds limit);

// Waits at most `limit` until `signal_number`, sent to `pid`, is no longer pending there: the
// process has taken it.
bool wait_signal_taken(pid_t pid, int signal_number, std::chrono::milliseconds limit);

}  // namespace drovik::test
