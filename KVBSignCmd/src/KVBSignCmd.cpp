#include "KVBSignCmd.h"

#include <strings.h>

#include <iostream>
#include <ostream>

KVBSignCmd::KVBSignCmd() {}

KVBSignCmd::~KVBSignCmd() {}

namespace {

// Every line is flushed as it is written, so that output interleaves with a crash or a pipe
// reader in the order it was produced.
void writeLine(std::ostream& stream, const std::string& text) { stream << text << "\n" << std::flush; }

enum class Stream { Out, Err };

struct Message {
    int status;
    Stream stream;
    const char* text;
};

// Statuses whose text does not depend on the operation. 0, 26 and 27 are handled apart.
const Message kMessages[] = {
    {KVBSIGN_GENERAL_FAILURE, Stream::Err, "Error - General failure occured. Process failed. "},
    {KVBSIGN_NO_ARGUMENTS, Stream::Err, "Error - No arguments provided. Process failed."},
    {KVBSIGN_INVALID_ARGUMENTS, Stream::Err, "Error - Arguments are invalid. Process failed. "},
    {KVBSIGN_FILE_POINTER_FAILED, Stream::Err, "Error - Could not create pointer to file. Process failed."},
    {KVBSIGN_FILE_NOT_FOUND, Stream::Err, "Error - Could not locate file. Process failed."},
    {KVBSIGN_FILE_READ_FAILED, Stream::Err, "Error - Could not read file. Process failed."},
    {KVBSIGN_TEMP_DIRECTORY_FAILED, Stream::Err,
     "Error - Could not create temporary directory for unzipping. Verification failed. "},
    {KVBSIGN_SYMLINK_INVALID_LOCATION, Stream::Err, "Error - Symbolic links points to an invalid location. "},
    {KVBSIGN_SYMLINK_ABSOLUTE_PATH, Stream::Err, "Error - One of the symbolic links points to an absolute path. "},
    {KVBSIGN_UNZIP_FAILED, Stream::Err, "Error - Failed to unzip KVB. Verification failed."},
    {KVBSIGN_ZIP_FAILED, Stream::Err,
     "Error - Failed to zip directory into output file. KVB not created. Does the KVB already exist?"},
    {KVBSIGN_CERTIFICATE_NOT_VALID_NOW, Stream::Err,
     "Error - Certificate is expired or not yet valid. Please check certificate validity."},
    {KVBSIGN_CERTIFICATE_FILE_NOT_FOUND, Stream::Err, "Error - Could not locate certificate file. Signing failed."},
    {KVBSIGN_KEY_NOT_RSA, Stream::Err, "Error - Key is not in RSA format. Signing failed. "},
    {KVBSIGN_CHAIN_BUILD_FAILED, Stream::Err,
     "Unable to build a valid certificate chain. Please make sure that all certificates are included in the "
     "certificate file."},
    {KVBSIGN_SIGNATURE_FILE_NOT_FOUND, Stream::Err,
     "Error - Cannot locate /META-INF/signatures.xml. No signature detected."},
    {KVBSIGN_SIGNATURE_FILE_PARSE_FAILED, Stream::Err,
     "Error - Failed to parse signatures.xml. Check for valid XML format. "},
    {KVBSIGN_INVALID_SIGNATURE_ELEMENT, Stream::Err, "Error - Invalid Signature element encountered. "},
    {KVBSIGN_SIGNATURE_ELEMENT_NOT_FOUND, Stream::Err, "Error - Cannot locate <Signature> element in signatures.xml"},
    {KVBSIGN_SIGNATURE_FILE_WRITE_FAILED, Stream::Err, "Error - Could not write signature.xml in directory "},
    {KVBSIGN_TSA_TIMESTAMP_UNVERIFIED, Stream::Err,
     "Error - the timestamp returned from the chosen TSA could not be verified, so the KVB created is likely to be "
     "rejected by other tools. Please recreate your KVB with a different trusted TSA."},
    {KVBSIGN_TSA_UNREACHABLE, Stream::Err,
     "Error - cannot contact the chosen TSA. Please make sure the URL is valid and that you are connected to the "
     "internet."},
    {KVBSIGN_SIGNING_EXCEPTION, Stream::Err, "Error - Signing exception raised. Signing failed. "},
    {KVBSIGN_VERIFICATION_EXCEPTION, Stream::Err, "Error - Verification Exception raised. Verifying failed"},
    {KVBSIGN_CRYPTOGRAPHIC_EXCEPTION, Stream::Err, "Error - Cryptographic Exception raised. Process failed"},
    {KVBSIGN_NETWORK_EXCEPTION, Stream::Err, "Error - Network Exception raised. Process failed "},
    {KVBSIGN_SIGNATURE_INVALID, Stream::Err,
     "Error - Failed to verify signature. Signature might have been tampered with."},
    {KVBSIGN_VERIFIED_CHAIN_UNVERIFIED, Stream::Out,
     "Signature and file references verified successfully, but certificate chain could not be verified and/or "
     "certificates passed in were not found"},
    {KVBSIGN_VERIFIED_REVOCATION_UNKNOWN, Stream::Out,
     "Signature and file references verified successfully, but certificate revocation status could not be "
     "verified as remote CRL could not be reached."},
    {KVBSIGN_KEY_GENERATION_FAILED, Stream::Out, "Error - key could not be generated. P12 generation failed"},
    {KVBSIGN_CERTIFICATE_REQUEST_FAILED, Stream::Out,
     "Error - certificate request could not be generated. P12 generation failed"},
    {KVBSIGN_SERIAL_NUMBER_FAILED, Stream::Out, "Error - serial number could not be generated. P12 generation failed"},
    {KVBSIGN_CERTIFICATE_PROPERTIES_FAILED, Stream::Out,
     "Error - certificate properties could not be set. P12 generation failed"},
    {KVBSIGN_CERTIFICATE_REQUEST_SIGN_FAILED, Stream::Out,
     "Error - certificate request could not be signed. P12 generation failed"},
    {KVBSIGN_CERTIFICATE_CREATION_FAILED, Stream::Out, "Error - certificate could not be created. P12 generation failed"},
};

const char* successText(const std::string& operation) {
    if (operation == "sign") return "Signed successfully";
    if (operation == "verify") return "Signature verified successfully";
    if (operation == "selfSignedCert") return "Self-signed certificate generated successfully";
    return nullptr;
}

std::string dateText(time_t t) {
    char buffer[20] = "";
    // localtime fails only for times beyond the calendar's range; the date is then empty.
    if (const struct tm* local = localtime(&t)) strftime(buffer, sizeof buffer, "%Y-%m-%d", local);
    return buffer;
}

const char* trustText(int osTrusted) {
    if (osTrusted == 1) return "true";
    if (osTrusted == 0) return "false";
    return "unknown";
}

const char* revokedText(int revoked) {
    if (revoked == 1) return "true";
    if (revoked == 0) return "false";
    return "Unknown - Signer's CRL could not be retrieved or CRL check was skipped. Offline?";
}

const char* timestampText(int timestampStatus) {
    switch (timestampStatus) {
        case KVBSIGN_TIMESTAMP_NONE: return "None";
        case KVBSIGN_TIMESTAMP_VALID: return "Valid and within certificate validity dates at time of signing";
        case KVBSIGN_TIMESTAMP_OUTSIDE_VALIDITY: return "Valid timestamp, but outside certificate validity dates";
        case KVBSIGN_TIMESTAMP_UNVERIFIABLE: return "Unverifiable";
        case KVBSIGN_TIMESTAMP_INVALID: return "Invalid timestamp";
        default: return "Unknown";
    }
}

// The library leaves at least empty texts; a null (memory exhausted) prints as empty.
const char* textOrEmpty(const char* text) { return text ? text : ""; }

time_t currentTime() { return time(nullptr); }

}  // namespace

void printHelp() { printHelp(std::cerr); }

void printHelp(std::ostream& err) {
    writeLine(err, "Usage:");
    writeLine(err, "    KVBSignCmd -verify <kvb>|<extensionRootDirectory> [options]");
    writeLine(err, "\toptions:");
    writeLine(err,
              "\t\t-certInfo - will print out information about certificates (including timestamp and certificate "
              "revocation information)");
    writeLine(err,
              "\t\t-skipOnlineRevocationChecks - will skip online checks for certificate revocation (certificate "
              "revocation checks only happen with -certInfo flag set)");
    writeLine(err,
              "\t\t-addCerts <certificate1> <certificate2>... - will verify certificate chain and assess whether or "
              "not DER encoded certificates passed in are included\n");
    writeLine(err, "");
}

void printMessage(int status, std::string operation) { printMessage(status, operation, std::cout, std::cerr); }

void printMessage(int status, const std::string& operation, std::ostream& out, std::ostream& err) {
    if (status == KVBSIGN_SUCCESS) {
        if (const char* text = successText(operation)) writeLine(out, text);
        return;
    }
    if (status == KVBSIGN_CERTIFICATE_FILE_READ_FAILED) {
        writeLine(err, operation == "verify"
                           ? "Error - Could not read one or more certificate files. Please check that all certificate "
                             "file(s) are valid."
                           : "Error - Could not read certificate file. Please check that any certificate file(s) are "
                             "valid and that any supplied passwords are correct.");
        return;
    }
    if (status == KVBSIGN_CERTIFICATE_PARSE_FAILED) {
        writeLine(err, operation == "verify"
                           ? "Error - Could not parse one or more certificates. Please check that all certificates "
                             "are valid."
                           : "Error - Failed to parse certificate. Please check that your certificate file(s) are "
                             "valid, stored in an accepted file format (e.g. PKCS12 'p12'), and that you have "
                             "entered the correct password.");
        return;
    }
    for (const Message& message : kMessages) {
        if (message.status == status) {
            writeLine(message.stream == Stream::Out ? out : err, message.text);
            return;
        }
    }
    writeLine(err, "Unknown error raised. Process failed \n Error Code: " + std::to_string(status));
}

void printCertificateReport(const KCertificateInfo& info, std::ostream& out, time_t (*now)()) {
    const std::string from = dateText(info.validFrom);
    const std::string to = dateText(info.validTo);
    writeLine(out, "*********** Certificate Information ***********");
    writeLine(out, std::string("CN: ") + textOrEmpty(info.commonName));
    writeLine(out, std::string("OU: ") + textOrEmpty(info.organizationalUnit));
    writeLine(out, std::string("DN: ") + textOrEmpty(info.distinguishedName));
    writeLine(out, std::string("OS Trusted: ") + trustText(info.osTrusted));
    writeLine(out, std::string("Revoked: ") + revokedText(info.revoked));
    writeLine(out, std::string("Timestamp: ") + timestampText(info.timestampStatus));
    const time_t current = (now ? now : currentTime)();
    // Both bounds are exclusive: a certificate is not valid at the second its validity starts or ends.
    if (difftime(current, info.validFrom) > 0 && difftime(info.validTo, current) > 0)
        writeLine(out, "Signing Certificate: Valid (from " + from + " until " + to + ")");
    else
        writeLine(out, "Signing Certificate: Expired/Outwith validity period (" + from + " to " + to + ")");
    writeLine(out, "***********************************************");
}

std::string argToUtf8(const char* text) { return text ? std::string(text) : std::string(); }

std::string charToString(const char* text) { return text ? std::string(text) : std::string(); }

int compareNoCase(const char* a, const char* b) { return strcasecmp(a, b); }

CommandLine parseCommandLine(int argc, const char* const* argv) {
    CommandLine line;
    if (argc <= 1) {
        line.exitCode = KVBSIGN_NO_ARGUMENTS;
        return line;
    }
    if (argc < 3 || compareNoCase(argv[1], "-verify") != 0) {
        line.exitCode = KVBSIGN_INVALID_ARGUMENTS;
        return line;
    }
    // The package argument is taken as it is, even when it looks like an option.
    line.packagePath = argv[2];
    int i = 3;
    while (i < argc) {
        const char* argument = argv[i];
        if (compareNoCase(argument, "-skipOnlineRevocationChecks") == 0) {
            line.skipOnlineRevocationChecks = true;
            ++i;
        } else if (compareNoCase(argument, "-certInfo") == 0) {
            line.certInfo = true;
            ++i;
        } else if (compareNoCase(argument, "-addCerts") == 0) {
            // Paths run up to the next argument that starts with '-', which is then read as an
            // option; an empty argument is a path.
            ++i;
            while (i < argc && argv[i][0] != '-') line.certificatePaths.push_back(argv[i++]);
        } else {
            line.exitCode = KVBSIGN_INVALID_ARGUMENTS;
            line.hasInvalidOption = true;
            line.invalidOption = argument;
            return line;
        }
    }
    return line;
}

int runCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    const CommandLine line = parseCommandLine(argc, argv);
    if (line.exitCode != 0) {
        if (line.hasInvalidOption) writeLine(err, "Invalid option: " + line.invalidOption);
        printHelp(err);
        return line.exitCode;
    }

    std::vector<const char*> paths;
    for (const std::string& path : line.certificatePaths) paths.push_back(path.c_str());
    const char** pathArray = paths.empty() ? nullptr : paths.data();
    const int pathCount = static_cast<int>(paths.size());

    KCertificateInfo info{};
    const int status = KVBSign_verify(line.packagePath.c_str(), pathArray, pathCount,
                                      line.certInfo ? &info : nullptr, line.skipOnlineRevocationChecks);
    if (line.certInfo) {
        if (status == KVBSIGN_SUCCESS || status == KVBSIGN_VERIFIED_CHAIN_UNVERIFIED ||
            status == KVBSIGN_VERIFIED_REVOCATION_UNKNOWN)
            printCertificateReport(info, out);
        KVBSign_releaseCertificateData(&info);
    }
    paths.clear();
    printMessage(status, "verify", out, err);
    return status;
}
