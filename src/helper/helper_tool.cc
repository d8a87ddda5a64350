#include "orvexa/helper/helper_tool.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>

#include "orvexa/helper/helper_server.h"
#include "orvexa/platform/paths.h"
#include "orvexa/platform/plist.h"

namespace orvexa {
namespace {

void printLine(const std::string& text) {
  char stamp[32] = "";
  std::time_t now = std::time(nullptr);
  struct tm local {};
  if (localtime_r(&now, &local) != nullptr) {
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  }
  std::fprintf(stderr, "%s orvexa-helper: %s\n", stamp, text.c_str());
  std::fflush(stderr);
}

bool parseUserId(const std::string& text, uid_t* out) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  char* end = nullptr;
  unsigned long value = std::strtoul(text.c_str(), &end, 10);
  if (value > 0xFFFFFFFEul) return false;
  *out = static_cast<uid_t>(value);
  return true;
}

bool readLaunchdPlist(const std::string& file, HelperServerOptions* options, std::string* root,
                      std::string* layout) {
  std::string why;
  std::optional<PlistValue> plist = readPlistFile(file, &why);
  if (!plist || !plist->isDictionary()) {
    printLine("cannot read " + file + ": " + (why.empty() ? "not a dictionary" : why));
    return false;
  }
  auto textOf = [&plist](std::string_view key) -> std::optional<std::string> {
    const PlistValue* value = plist->find(key);
    const std::string* text = value != nullptr ? value->asString() : nullptr;
    if (text == nullptr) return std::nullopt;
    return *text;
  };
  const PlistValue* uid = plist->find("AllowedUserID");
  int64_t uidValue = -1;
  if (uid != nullptr) uidValue = uid->asInteger().value_or(-1);
  const std::optional<std::string> socket = textOf("SocketPath");
  if (!socket || uidValue < 0 || uidValue > 0xFFFFFFFELL) {
    printLine(file + ": \"SocketPath\" (text) and \"AllowedUserID\" (integer) are required");
    return false;
  }
  options->socketPath = *socket;
  options->allowedUserId = static_cast<uid_t>(uidValue);
  if (std::optional<std::string> program = textOf("Program")) {
    options->uninstallPaths.push_back(*program);
  }
  options->uninstallPaths.push_back(file);
  for (const char* key : {"ServiceFile", "StandardErrorPath"}) {
    if (std::optional<std::string> path = textOf(key)) options->uninstallPaths.push_back(*path);
  }
  if (std::optional<std::string> folder = textOf("RootFolder")) *root = *folder;
  if (std::optional<std::string> name = textOf("Layout")) *layout = *name;
  return true;
}

int usage(const std::string& why) {
  printLine(why);
  std::fprintf(
      stderr,
      "usage: orvexa-helper --launchd-plist FILE\n"
      "       orvexa-helper --socket PATH [--allowed-uid N] [--root DIR] [--layout macos|linux]\n"
      "       orvexa-helper --version\n");
  return 2;
}

}  // namespace

int helperToolMain(const std::vector<std::string>& arguments) {
  HelperServerOptions options;
  std::string root;
  std::string layout;
  std::string plistFile;
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    if (a == "--version") {
      std::printf("%s\n", kHelperToolVersion);
      return 0;
    }
    if (i + 1 >= arguments.size()) return usage("missing value after " + a);
    const std::string& value = arguments[++i];
    if (a == "--launchd-plist") {
      plistFile = value;
    } else if (a == "--socket") {
      options.socketPath = value;
    } else if (a == "--allowed-uid") {
      if (!parseUserId(value, &options.allowedUserId)) return usage("bad user id " + value);
    } else if (a == "--root") {
      root = value;
    } else if (a == "--layout") {
      layout = value;
    } else {
      return usage("unknown argument " + a);
    }
  }
  if (!plistFile.empty() && !readLaunchdPlist(plistFile, &options, &root, &layout)) return 2;
  if (options.socketPath.empty()) return usage("no socket given");
  if (!layout.empty()) {
    std::optional<Layout> chosen = Paths::parseLayout(layout);
    if (!chosen) return usage("unknown layout " + layout + " (macos or linux)");
    Paths::shared().setLayout(*chosen);
  }
  if (!root.empty()) Paths::shared().setRoot(root);

  // Peers that vanish mid-reply must not end the helper.
  ::signal(SIGPIPE, SIG_IGN);
  options.log = printLine;
  HelperServer server(options);
  std::string why;
  if (!server.start(&why)) {
    printLine("cannot serve: " + why);
    return 1;
  }
  printLine("serving " + options.socketPath + " for user id " +
            std::to_string(options.allowedUserId) + " and root");
  server.wait();
  server.stop();
  printLine("ended");
  return 0;
}

}  // namespace orvexa
