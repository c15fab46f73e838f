// kvpack: the build host's tool for making what the update daemon accepts.
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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
    "  sign --key PRIVATE.pem [-o OUT.sign64] FILE\n"
    "      write the Base64 detached signature of FILE (default: FILE without\n"
    "      its extension, plus .sign64)\n"
    "  bundle --manifest MEMBERS.json [--filetype UPDATE|UPDATE-FULL|UPDATEFULL]\n"
    "      [--header-length N] [--sign-key PRIVATE.pem] [--platform ID]\n"
    "      [--swpart PART] [--package-name NAME] [--strict] -o OUT.CRY\n"
    "      build a bundle: header, then a tar of allinfo.json, the members and\n"
    "      (with --sign-key) a .sign64 per member; MEMBERS.json is an array of\n"
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
    "Exit status: 0 done (inspect: every file accepted), 1 inspect: a file\n"
    "rejected, 2 error, 3 inspect: none rejected, but a check could not be made\n"
    "(no --public-key).\n";

int Usage(const char* problem) {
  if (problem != nullptr) std::fprintf(stderr, "kvpack: %s\n", problem);
  std::fputs(kUsage, stderr);
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
  bool json = false;
  bool strict = false;
};

kv::Status ParseArgs(int argc, char** argv, Args* args) {
  optind = 1;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "+o:h", kOptions, nullptr)) != -1) {
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
      default: return kv::Error(0, std::string("unknown or incomplete option ") + argv[optind - 1]);
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
  auto key = LoadKey(args, true);
  if (!key) return Fail(key.error());
  options.key = key.value();
  return Done(kvpack::WriteCry(options, args.positional[0], args.output));
}

int RunSign(const Args& args) {
  if (auto given = Require({{args.key, "--key"}}); !given) return Usage(given.error());
  if (args.positional.size() != 1) return Usage("sign needs exactly one file");
  const std::string& file = args.positional[0];
  const std::string output = args.output.empty() ? kvpack::DefaultSignaturePath(file) : args.output;
  return Done(kvpack::SignFile(args.key, file, output));
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
  options.strict = args.strict;
  return Done(kvpack::WriteBundle(options, args.manifest, args.output));
}

int RunImage(const Args& args) {
  if (auto given = Require({{args.signKey, "--sign-key"}, {args.output, "-o"}}); !given) {
    return Usage(given.error());
  }
  if (args.positional.size() != 1) return Usage("image needs exactly one image file");
  return Done(kvpack::WriteImage(args.signKey, args.positional[0], args.output));
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
  return kvpack::InspectFiles(options, args.positional, args.json, stdout);
}

}  // namespace

int main(int argc, char** argv) {
  // The daemon's checks run here on the build host: their messages stay off
  // the host's system log.
  log_SetSystemLog(0);
  if (argc < 2) return Usage(nullptr);
  const std::string command = argv[1];
  if (command == "-h" || command == "--help" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  Args args;
  if (auto parsed = ParseArgs(argc - 1, argv + 1, &args); !parsed) return Usage(parsed.error());
  if (args.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "ipk") return RunIpk(args);
  if (command == "cry") return RunCry(args);
  if (command == "sign") return RunSign(args);
  if (command == "bundle") return RunBundle(args);
  if (command == "image") return RunImage(args);
  if (command == "inspect") return RunInspect(args);
  return Usage(("unknown command " + command).c_str());
}
