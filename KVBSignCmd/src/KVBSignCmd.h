#ifndef KVBSIGNCMD_H
#define KVBSIGNCMD_H

#include <ctime>
#include <iosfwd>
#include <string>
#include <vector>

#include "KVBSignLib.h"

// The command-line front end. Everything but main lives here so that it can be run in-process.
class KVBSignCmd {
public:
    KVBSignCmd();
    ~KVBSignCmd();
};

// Usage text, on standard error (or on `err`).
void printHelp();
void printHelp(std::ostream& err);

// The status line for `status` after `operation` ("sign", "verify" or "selfSignedCert"), on
// standard output or standard error as the status decides (or on `out` / `err`).
void printMessage(int status, std::string operation);
void printMessage(int status, const std::string& operation, std::ostream& out, std::ostream& err);

// The nine lines of the certificate report. `now` supplies the current time for the validity
// line; null means time().
void printCertificateReport(const KCertificateInfo& info, std::ostream& out, time_t (*now)() = nullptr);

// Copies of a C string (an empty text for null).
std::string argToUtf8(const char* text);
std::string charToString(const char* text);
// strcasecmp: 0 when the two texts are equal ignoring ASCII case.
int compareNoCase(const char* a, const char* b);

// What the command line asks for.
struct CommandLine {
    // 0: run a verification; otherwise print the usage text and exit with this code
    // (2: no arguments, 3: malformed command line).
    int exitCode = 0;
    bool hasInvalidOption = false;
    std::string invalidOption;  // the unknown option, when hasInvalidOption
    std::string packagePath;
    bool skipOnlineRevocationChecks = false;
    bool certInfo = false;
    std::vector<std::string> certificatePaths;  // all "-addCerts" paths, in command-line order
};

CommandLine parseCommandLine(int argc, const char* const* argv);

// The whole run of the tool: parse, verify once, report, status message. Returns the exit code.
int runCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

#endif
