#pragma once
#include <cstdint>
#include <string>

namespace drovik::test {

// A path in the temporary directory, unique to this test process, removed at the end;
// `suffix` follows the unique part (OutputFile("x", ".part") is OutputFile("x")'s .part).
class OutputFile {
public:
    explicit OutputFile(const std::string& name, const std::string& suffix = "");
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // 0 while the file does not exist.
    std::uint64_t size() const;
    std::string bytes() const;

    const std::string path;
};

// An output file, its .part and the .part's record, all removed at the end.
struct DownloadFiles {
    explicit DownloadFiles(const std::string& name)
        : output(name), part(name, ".part"), map(name, ".part.map") {}

    // The output is the served file's first `bytes`, and neither .part nor record is left.
    bool complete(std::uint64_t bytes) const;

    OutputFile output;
    OutputFile part;
    OutputFile map;
};

}  // namespace drovik::test
