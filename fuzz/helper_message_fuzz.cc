// Fuzz target: the privileged helper's message decoding, as its server runs
// it on bytes from a connection: frames split from the stream, bodies read
// as requests (and replies), handleEvent requests planned. None of it may
// crash, hang or leak, whatever the bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "orvexa/helper/helper_event_plan.h"
#include "orvexa/helper/helper_message.h"
#include "orvexa/helper/helper_path_policy.h"
#include "orvexa/model/module_information.h"
#include "orvexa/platform/file_manager.h"
#include "orvexa/scan/uninstall/uninstall_scan_service.h"

// The scope is given here, so the folders the helper computes for its scope
// from the module description, the uninstall folders and the disk are not
// needed: empty stand-ins keep those parts of the library out of the target.
namespace orvexa {
std::vector<ModulePtr> ModuleInformation::getDefault() { return {}; }
std::vector<std::string> UninstallScanService::regularFolderList() { return {}; }
std::vector<std::string> contentsOfDirectory(const std::string&, FileStatus*) { return {}; }
std::vector<Url> mountedVolumeURLs() { return {}; }
}  // namespace orvexa

namespace {

void decodeBody(std::string_view body) {
  std::string why;
  if (std::optional<orvexa::HelperRequest> request = orvexa::decodeHelperRequest(body, &why)) {
    if (request->operation == orvexa::HelperRequest::Operation::handleEvent) {
      // A scope of its own, so that planning judges paths against it.
      static const orvexa::HelperPathScope scope{{"/tmp/orvexa-fuzz-scope"},
                                                 {"/tmp/orvexa-fuzz-bundles"}};
      (void)orvexa::planHelperEvent(request->event, request->dictionary, scope);
    }
  }
  (void)orvexa::decodeHelperReply(body, &why);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // The stream as the server reads it, with a small limit so that
  // oversized frames are exercised too.
  orvexa::HelperFrameDecoder decoder(64 * 1024);
  decoder.feed(bytes);
  std::string body;
  while (decoder.next(&body) == orvexa::HelperFrameDecoder::State::frame) decodeBody(body);
  // The whole input as one body.
  decodeBody(bytes);
  return 0;
}
