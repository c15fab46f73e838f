// kvpack: the build host's tool for making what the update daemon accepts.
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/nearest.h"
#include "core/handles.h"
#include "core/log.h"
#include "kvpack/kvpack.h"

namespace {

constexpr const char* kUsage =
    "usage: kvpack <command> [options]\n"
    "\n"
    "commands:\n"
    "  ipk --control FILE --data FOLDER [--script FILE]... -o OUT.ipk\n"
    "      build an ipk package (ar of debian-binary, control.tar.gz, data.tar.gz)\n"
    "  cry --platform ID --swpart PART --package-name NAME [--filetype TYPE]\n"
    "      [--header-length N] [--key-file FILE] -o OUT.CRY INPUT\n"
    "      wrap INPUT into an encrypted CRY container for platform ID\n"
    "      (all, KV2_TOUCH, KORVEL_R or KV_SR)\n"
    "  sign --key PRIVATE.pem|pkcs11:URI [--pass SOURCE] [--pkcs11-module LIB]\n"
    "      [--force] [-o OUT.sign64] FILE\n"
    "      write the Base64 detached signature of FILE (default: FILE without\n"
    "      its extension, plus .sign64, which --force lets replace)\n"
    "  bundle --manifest MEMBERS.json [--filetype UPDATE|UPDATE-FULL|UPDATEFULL]\n"
    "      [--header-length N] [--sign-key PRIVATE.pem] [--key-file FILE]\n"
    "      [--platform ID] [--swpart PART] [--package-name NAME] [--strict]\n"
    "      -o OUT.CRY\n"
    "      build a bundle: header, then a tar of allinfo.json, the members and\n"
    "      (with --sign-key) a .sign64 per member, for a .CRY member of the\n"
    "      package it decrypts to (--key-file: its key); MEMBERS.json is an array of\n"
    "      objects with \"path\" and the manifest fields; warns of items no\n"
    "      device installs and of keys no device reads (--strict: refuses them)\n"
    "  image --sign-key PRIVATE.pem -o OUTDIR IMAGEFILE\n"
    "      write OUTDIR/IMAGE.CRY (the image, unchanged) and OUTDIR/IMAGE.sign64\n"
    "  inspect --platform ID [--public-key PUBLIC.pem] [--signature FILE.sign64]\n"
    "      [--package FILE] [--key-file FILE] [--image-rev REV] [--json]\n"
    "      FILE|FOLDER...\n"
    "      say whether a device of platform ID (KV2_TOUCH or kv2-touch, ...)\n"
    "      would accept each FILE (a .CRY container, an .ipk package, IMAGE.CRY,\n"
    "      a bundle, or a .sign64 with --package), or each .CRY and .ipk file of\n"
    "      a FOLDER; signatures are checked only with --public-key: NAME.sign64\n"
    "      beside NAME.ipk or NAME.CRY, or inside a bundle; a bundle is worked\n"
    "      through member by member, when its running image has revision REV;\n"
    "      --json: one JSON object per file, with the facts of the text report\n"
    "\n"
    "options of every command: -q, --quiet (only errors and verdicts),\n"
    "  -v, --verbose (say more), -h, --help (the command's usage), --version\n"
    "\n"
    "A private key (--key, --sign-key) is a PEM file or a PKCS #11 URI\n"
    "(pkcs11:token=NAME;object=LABEL) of a key that stays in its token;\n"
    "--pass gives its pass phrase or the token's PIN as env:VAR, file:PATH,\n"
    "fd:N, stdin or pass:TEXT (pass: shows in the process list); without it\n"
    "kvpack asks only when standard input is a terminal. --pkcs11-module LIB\n"
    "names the token's PKCS #11 library (default: PKCS11_MODULE_PATH, else\n"
    "p11-kit's proxy). With SOURCE_DATE_EPOCH set, ipk, cry and bundle give\n"
    "the same bytes for the same inputs.\n"
    "\n"
    "Exit status: 0 done (inspect: every file accepted), 1 inspect: a file\n"
    "rejected, 2 error, 3 inspect: none rejected, but a check could not be made\n"
    "(no --public-key).\n";

// The usage of one command: its entry in kUsage (the line naming it and the
// more deeply indented lines after it); empty for an unknown command.
std::string CommandUsage(const std::string& command) {
  if (command.empty() || command.find('\n') != std::string::npos) return {};
  const std::string_view usage(kUsage);
  const std::string head = "\n  " + command + " ";
  const std::size_t start = usage.find(head);
  if (start == std::string_view::npos) return {};
  std::size_t end = start + 1;
  do {
    end = usage.find('\n', end) + 1;
  } while (usage.compare(end, 6, "      ") == 0);
  std::string text(usage.substr(start + 3, end - start - 3));
  // Continuation lines keep the indent they had under "commands:".
  return "usage: kvpack " + text;
}

// The command the usage errors are about ("" before one was recognised).
std::string currentCommand;

int Usage(const char* problem) {
  if (problem != nullptr) std::fprintf(stderr, "kvpack: %s\n", problem);
  const std::string usage = CommandUsage(currentCommand);
  std::fputs(usage.empty() ? kUsage : usage.c_str(), stderr);
  return 2;
}

int Fail(const kv::Error& error) {
  std::fprintf(stderr, "kvpack: %s\n", error.message().c_str());
  return 2;
}

int Usage(const kv::Error& problem) { return Usage(problem.message().c_str()); }

// The exit status of a maker: 0 done, 2 with the reason printed.
int Done(const kv::Status& made) { return made ? 0 : Fail(made.error()); }

enum Option {
  kControl = 256,
  kData,
  kScript,
  kPlatform,
  kSwPart,
  kPackageName,
  kFileType,
  kHeaderLength,
  kKeyFile,
  kKey,
  kPublicKey,
  kSignature,
  kPackage,
  kOutput,
  kHelp,
  kManifest,
  kSignKey,
  kImageRev,
  kPass,
  kForce,
  kPkcs11Module,
  kVersion,
  kQuiet,
  kVerbose,
  kJson,
  kStrict,
};

const option kOptions[] = {
    {"control", required_argument, nullptr, kControl},
    {"data", required_argument, nullptr, kData},
    {"script", required_argument, nullptr, kScript},
    {"platform", required_argument, nullptr, kPlatform},
    {"swpart", required_argument, nullptr, kSwPart},
    {"package-name", required_argument, nullptr, kPackageName},
    {"filetype", required_argument, nullptr, kFileType},
    {"header-length", required_argument, nullptr, kHeaderLength},
    {"key-file", required_argument, nullptr, kKeyFile},
    {"key", required_argument, nullptr, kKey},
    {"public-key", required_argument, nullptr, kPublicKey},
    {"signature", required_argument, nullptr, kSignature},
    {"package", required_argument, nullptr, kPackage},
    {"output", required_argument, nullptr, kOutput},
    {"help", no_argument, nullptr, kHelp},
    {"manifest", required_argument, nullptr, kManifest},
    {"sign-key", required_argument, nullptr, kSignKey},
    {"image-rev", required_argument, nullptr, kImageRev},
    {"pass", required_argument, nullptr, kPass},
    {"force", no_argument, nullptr, kForce},
    {"pkcs11-module", required_argument, nullptr, kPkcs11Module},
    {"version", no_argument, nullptr, kVersion},
    {"quiet", no_argument, nullptr, kQuiet},
    {"verbose", no_argument, nullptr, kVerbose},
    {"json", no_argument, nullptr, kJson},
    {"strict", no_argument, nullptr, kStrict},
    {nullptr, 0, nullptr, 0},
};

struct Args {
  std::string control, data, platform, swPart, packageName, fileType, keyFile, key, publicKey, signature, package,
      output, manifest, signKey, imageRev;
  bool haveImageRev = false;
  std::vector<std::string> scripts;
  int headerLength = kvpack::kDefaultHeaderLength;
  std::vector<std::string> positional;
  bool help = false;
  bool version = false;
  bool force = false;
  bool quiet = false;
  bool verbose = false;
  std::string passSource;  // --pass as given; read once the command is known
  std::string pkcs11Module;
  bool json = false;
  bool strict = false;
};

// The long option names, for suggestions.
std::vector<std::string_view> LongOptionNames() {
  std::vector<std::string_view> names;
  for (const option* o = kOptions; o->name != nullptr; ++o) names.emplace_back(o->name);
  return names;
}

// "unknown option --sing-key; did you mean --sign-key?" for what was typed.
kv::Error UnknownOption(const std::string& typed) {
  const std::string nearest = typed.rfind("--", 0) == 0 ? kvtools::NearestOption(typed, LongOptionNames()) : "";
  return kv::Error(0, "unknown option " + typed + (nearest.empty() ? "" : "; did you mean " + nearest + "?"));
}

kv::Status ParseArgs(int argc, char** argv, Args* args) {
  optind = 1;
  opterr = 0;
  int c;
  // The leading ':' tells a missing value (':') from an unknown option ('?').
  // Options may follow the files ("kvpack sign app.ipk --force"); "--" ends
  // them, for a file whose name begins with '-'.
  while ((c = getopt_long(argc, argv, ":o:hqv", kOptions, nullptr)) != -1) {
    const std::string value = optarg != nullptr ? optarg : "";
    switch (c) {
      case kControl: args->control = value; break;
      case kData: args->data = value; break;
      case kScript: args->scripts.push_back(value); break;
      case kPlatform: args->platform = value; break;
      case kSwPart: args->swPart = value; break;
      case kPackageName: args->packageName = value; break;
      case kFileType: args->fileType = value; break;
      case kHeaderLength: {
        char* end = nullptr;
        const long n = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || n < 0 || n > 100000) return kv::Error(0, "--header-length needs a number");
        args->headerLength = static_cast<int>(n);
        break;
      }
      case kKeyFile: args->keyFile = value; break;
      case kKey: args->key = value; break;
      case kPublicKey: args->publicKey = value; break;
      case kSignature: args->signature = value; break;
      case kPackage: args->package = value; break;
      case kManifest: args->manifest = value; break;
      case kSignKey: args->signKey = value; break;
      case kImageRev:
        if (value.find('\n') != std::string::npos) return kv::Error(0, "--image-rev must be one line");
        args->imageRev = value;
        args->haveImageRev = true;
        break;
      case kJson: args->json = true; break;
      case kStrict: args->strict = true; break;
      case 'o':
      case kOutput: args->output = value; break;
      case 'h':
      case kHelp: args->help = true; break;
      case kVersion: args->version = true; break;
      case kPass: args->passSource = value; break;
      case kForce: args->force = true; break;
      case kPkcs11Module: args->pkcs11Module = value; break;
      case 'q':
      case kQuiet: args->quiet = true; break;
      case 'v':
      case kVerbose: args->verbose = true; break;
      case ':': {
        std::string typed = argv[optind - 1];
        if (const std::size_t eq = typed.find('='); eq != std::string::npos) typed.resize(eq);
        return kv::Error(0, "option " + typed + " needs a value");
      }
      default: {
        // A short option is reported by its letter: argv may hold several.
        const std::string typed = optopt != 0 ? std::string("-") + static_cast<char>(optopt) : argv[optind - 1];
        return UnknownOption(typed);
      }
    }
  }
  for (int i = optind; i < argc; ++i) args->positional.emplace_back(argv[i]);
  return kv::Ok();
}

// Refuses the first of the options (value, name) left empty.
kv::Status Require(std::initializer_list<std::pair<const std::string&, const char*>> options) {
  for (const auto& [value, option] : options) {
    if (value.empty()) return kv::Error(0, std::string(option) + " is required");
  }
  return kv::Ok();
}

kv::Result<kvpack::CryKey> LoadKey(const Args& args, bool announce) {
  if (args.keyFile.empty()) {
    if (announce && crykey_IsDevelopment() != 0) {
      std::fprintf(stderr, "kvpack: note: using the development CRY key built into this program\n");
    }
    return kvpack::BuiltInKey();
  }
  return kvpack::ReadKeyFile(args.keyFile);
}

int RunIpk(const Args& args) {
  if (auto given = Require({{args.control, "--control"}, {args.data, "--data"}, {args.output, "-o"}}); !given) {
    return Usage(given.error());
  }
  if (!args.positional.empty()) return Usage("ipk takes no file arguments");
  kvpack::IpkOptions options{args.control, args.data, args.scripts};
  return Done(kvpack::BuildIpk(options, args.output));
}

int RunCry(const Args& args) {
  if (auto given = Require({{args.platform, "--platform"},
                            {args.swPart, "--swpart"},
                            {args.packageName, "--package-name"},
                            {args.output, "-o"}});
      !given) {
    return Usage(given.error());
  }
  if (args.positional.size() != 1) return Usage("cry needs exactly one input file");
  kvpack::CryOptions options;
  options.platform = args.platform;
  options.swPart = args.swPart;
  options.packageName = args.packageName;
  if (!args.fileType.empty()) options.fileType = args.fileType;
  options.headerLength = args.headerLength;
  auto key = LoadKey(args, !args.quiet);
  if (!key) return Fail(key.error());
  options.key = key.value();
  return Done(kvpack::WriteCry(options, args.positional[0], args.output));
}

// True when path starts like an encrypted container (not the OS image, whose
// signature covers the file itself).
bool IsContainer(const std::string& path) {
  if (kvpack::BaseName(path).rfind("IMAGE", 0) == 0) return false;
  const kv::File in = kv::OpenFile(path.c_str(), "rb");
  char start[13] = {};
  return in && std::fread(start, 1, sizeof start, in.get()) == sizeof start &&
         std::string_view(start, sizeof start) == "HEADERLENGTH:";
}

// The pass phrase or PIN and the token module for a private key.
kv::Result<kvpack::KeyAccess> LoadKeyAccess(const Args& args) {
  kvpack::KeyAccess access;
  // Asking is for a person at a terminal; a build server's run must fail
  // with a reason instead of waiting for an answer nobody gives.
  access.mayPrompt = ::isatty(STDIN_FILENO) == 1;
  access.pkcs11Module = args.pkcs11Module;
  access.verbose = args.verbose;
  if (!args.passSource.empty()) {
    auto pass = kvpack::ReadPassSource(args.passSource);
    if (!pass) return pass.error();
    access.havePass = true;
    access.pass = std::move(pass).value();
  }
  return access;
}

int RunSign(const Args& args) {
  if (auto given = Require({{args.key, "--key"}}); !given) return Usage(given.error());
  if (args.positional.size() != 1) return Usage("sign needs exactly one file");
  const std::string& file = args.positional[0];
  // A derived name is shared by the package and its container (app.ipk and
  // app.CRY both give app.sign64): it is not replaced unless asked. A name
  // given with -o is the one the caller wants written.
  const std::string output = args.output.empty() ? kvpack::DefaultSignaturePath(file) : args.output;
  auto access = LoadKeyAccess(args);
  if (!access) return Fail(access.error());
  kvpack::SignOptions options;
  options.access = std::move(access).value();
  options.replace = !args.output.empty() || args.force;
  std::string keyType;
  options.keyType = &keyType;
  if (auto signedFile = kvpack::SignFile(args.key, file, output, options); !signedFile) {
    const kv::Error& error = signedFile.error();
    if (!options.replace && error.message() == output + " exists; give --force to replace it") {
      return Fail(kv::Error(0, output + " exists (the signature of another file of that name?); give --force to "
                                        "replace it or -o to name another"));
    }
    return Fail(error);
  }
  if (!args.quiet && IsContainer(file)) {
    std::fprintf(stderr,
                 "kvpack: note: %s is an encrypted container; a device checks the signature of the package inside "
                 "it, so sign that package\n",
                 file.c_str());
  }
  if (args.verbose) std::printf("key %s: %s, digest SHA-256\n", args.key.c_str(), keyType.c_str());
  if (!args.quiet) std::printf("signed %s -> %s\n", file.c_str(), output.c_str());
  return 0;
}

int RunBundle(const Args& args) {
  if (auto given = Require({{args.manifest, "--manifest"}, {args.output, "-o"}}); !given) {
    return Usage(given.error());
  }
  if (!args.positional.empty()) return Usage("bundle takes no file arguments; list the members in --manifest");
  kvpack::BundleOptions options;
  if (!args.fileType.empty()) options.fileType = args.fileType;
  options.headerLength = args.headerLength;
  options.platform = args.platform;
  options.swPart = args.swPart;
  options.packageName = args.packageName;
  options.signKey = args.signKey;
  if (!args.signKey.empty()) {
    auto access = LoadKeyAccess(args);
    if (!access) return Fail(access.error());
    options.signAccess = std::move(access).value();
    auto cryKey = LoadKey(args, false);
    if (!cryKey) return Fail(cryKey.error());
    options.cryKey = cryKey.value();
  }
  options.strict = args.strict;
  return Done(kvpack::WriteBundle(options, args.manifest, args.output));
}

int RunImage(const Args& args) {
  if (auto given = Require({{args.signKey, "--sign-key"}, {args.output, "-o"}}); !given) {
    return Usage(given.error());
  }
  if (args.positional.size() != 1) return Usage("image needs exactly one image file");
  auto access = LoadKeyAccess(args);
  if (!access) return Fail(access.error());
  return Done(kvpack::WriteImage(args.signKey, args.positional[0], args.output, access.value()));
}

int RunInspect(const Args& args) {
  if (auto given = Require({{args.platform, "--platform"}}); !given) return Usage(given.error());
  if (args.positional.empty()) return Usage("inspect needs a file or a folder");
  kvpack::InspectOptions options;
  options.platform = args.platform;
  options.publicKey = args.publicKey;
  options.signature = args.signature;
  options.package = args.package;
  options.haveImageRev = args.haveImageRev;
  options.imageRev = args.imageRev;
  if (args.positional.size() > 1 && (!args.signature.empty() || !args.package.empty())) {
    return Usage("--signature and --package go with one file only");
  }
  auto key = LoadKey(args, false);
  if (!key) return Fail(key.error());
  options.key = key.value();
  // The report quotes the file (header values, member names, package
  // fields), which may come from anyone: InspectFiles shows its control
  // bytes as '?'. With -q only the verdicts are shown.
  if (!args.quiet) return kvpack::InspectFiles(options, args.positional, args.json, stdout);
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* report = ::open_memstream(&text, &size);
  if (report == nullptr) return Fail(kv::SystemError("cannot hold the report"));
  const int status = kvpack::InspectFiles(options, args.positional, args.json, report);
  std::fclose(report);
  const kv::CMemory<char> held(text);
  std::string_view rest(text, size);
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end == std::string_view::npos ? rest.size() : end + 1);
    rest.remove_prefix(line.size());
    if (args.json || line.starts_with("ACCEPTED") || line.starts_with("REJECTED") || line.starts_with("NOT CHECKED")) {
      std::fwrite(line.data(), 1, line.size(), stdout);
    }
  }
  std::fflush(stdout);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // The daemon's checks run here on the build host: their messages stay off
  // the host's system log.
  log_SetSystemLog(0);
  if (argc < 2) return Usage("no command given");
  const std::string command = argv[1];
  if (command == "--version") {
    std::printf("kvpack %s\n", KV_PROJECT_VERSION);
    return 0;
  }
  if (command == "-h" || command == "--help" || command == "help") {
    // "kvpack help sign" is the usage of sign.
    const std::string usage = argc > 2 ? CommandUsage(argv[2]) : std::string();
    if (argc > 2 && usage.empty()) return Usage(("unknown command " + std::string(argv[2])).c_str());
    std::fputs(usage.empty() ? kUsage : usage.c_str(), stdout);
    return 0;
  }
  if (CommandUsage(command).empty()) {
    const std::string nearest = kvtools::NearestWord(
        command, std::initializer_list<std::string_view>{"ipk", "cry", "sign", "bundle", "image", "inspect"});
    const std::string problem =
        "unknown command " + command + (nearest.empty() ? "" : "; did you mean " + nearest + "?");
    return Usage(problem.c_str());
  }
  currentCommand = command;
  Args args;
  if (auto parsed = ParseArgs(argc - 1, argv + 1, &args); !parsed) {
    // An unknown option is told alone, with the nearest known one: the whole
    // usage would hide it.
    std::fprintf(stderr, "kvpack: %s\n(kvpack %s --help shows its usage)\n", parsed.error().message().c_str(),
                 command.c_str());
    return 2;
  }
  if (args.help) {
    std::fputs(CommandUsage(command).c_str(), stdout);
    return 0;
  }
  if (args.version) {
    std::printf("kvpack %s\n", KV_PROJECT_VERSION);
    return 0;
  }
  if (args.quiet && args.verbose) return Usage("-q and -v exclude each other");
  if (command == "ipk") return RunIpk(args);
  if (command == "cry") return RunCry(args);
  if (command == "sign") return RunSign(args);
  if (command == "bundle") return RunBundle(args);
  if (command == "image") return RunImage(args);
  if (command == "inspect") return RunInspect(args);
  return Usage(("unknown command " + command).c_str());  // listed in kUsage but not run: never reached
}
