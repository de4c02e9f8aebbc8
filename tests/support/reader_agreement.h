#ifndef KVBSIGN_TEST_READER_AGREEMENT_H
#define KVBSIGN_TEST_READER_AGREEMENT_H

// What other readers make of an archive that the tool lets through to its extractor.
//
// The tool verifies what `unzip` wrote; an archive it accepts must install the same files
// with other readers. readerDifferences extracts the archive with `unzip`, with `bsdtar`
// from the file (by the central directory) and with `bsdtar` from a pipe (streaming, from
// the front), and compares the trees by name, kind and bytes, a link by its target; a file
// or directory with a set-id or sticky bit is of another kind than one without.
// ExtractionWatch tells whether a run of the tool got as far as its extractor.

#include <string>
#include <vector>

#include "child_process.h"
#include "cli_runner.h"

namespace kvtest {

// Empty when every reader made the same tree; otherwise what differs (or which reader
// failed). A reader that streams the archive never learns an entry's mode, so it writes a
// link as a file holding the target's text: that is the one difference allowed, and the
// one that the tool's link rules account for. Stored directory modes (0000, 0555) are
// opened up before the trees are compared and removed.
std::string readerDifferences(const std::string& zip);

// The package that a command line of the tool names (the argument after the operation) as a
// path from this process: relative to `cwd` when given, a leading "~" taken from HOME in
// `env` (else from this process's HOME), as the tool expands it. Empty when there is none.
std::string packageOf(const std::vector<std::string>& args, const std::string& cwd = "", const EnvList& env = {});

// For a run of the tool or of the verify call over `package` that ended with `status`:
// readerDifferences of the package when the status says it was accepted (0, 51, 52) and it
// is a file, else empty (a directory is read in place). An accepted package that is
// neither file nor directory is reported. Each archive's bytes are extracted once per
// process: a test that verifies one archive many times pays for it once.
std::string differencesIfAccepted(const std::string& package, int status);

// Puts a recording `unzip` first on the search path of the tool's commands: it marks that
// it ran and records its process, then runs the system's one. The blocking stand-in instead
// writes a file into the destination it is given (as an extraction under way would), records
// its process and waits on a named pipe until released; then it fails.
class ExtractionWatch {
public:
    enum class Extractor { system, blocking };
    explicit ExtractionWatch(Extractor extractor = Extractor::system);
    ~ExtractionWatch();
    ExtractionWatch(const ExtractionWatch&) = delete;
    ExtractionWatch& operator=(const ExtractionWatch&) = delete;
    // Entries to add to the tool's environment.
    EnvList env() const;
    // True when the extractor ran since the watch was made or last reset.
    bool extracted() const;
    void reset();
    // The extractor's process as it recorded itself: pid 0 before it did. With `waitSeconds`,
    // waits that long at most for the record.
    ProcessId extractor(int waitSeconds = 0) const;
    // Lets a blocking stand-in that still waits go on (and fail).
    void release() const;

private:
    ScratchDir dir_;
};

}  // namespace kvtest

#endif
