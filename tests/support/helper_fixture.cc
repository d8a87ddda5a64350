#include "support/helper_fixture.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>

#include "orvexa/helper/helper_event_plan.h"
#include "orvexa/helper/helper_message.h"
#include "orvexa/helper/privilege_helper.h"
#include "support/temp_dir.h"

namespace orvexa::testing {

RunningHelper::RunningHelper(HelperServerOptions options)
    : label_(PrivilegeHelper::helperName()), socketPath_(helperSocketPath(label_)) {
  std::error_code ec;
  for (const std::string& file : {helperToolPath(label_), helperLaunchDaemonPlistPath(label_)}) {
    std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ec);
    std::ofstream(file) << "installed\n";
  }
  std::filesystem::create_directories(std::filesystem::path(socketPath_).parent_path(), ec);
  options.socketPath = socketPath_;
  // The test process is the installing user (root is always served).
  if (options.allowedUserId == 0) options.allowedUserId = ::geteuid();
  PrivilegeHelper::shard().setInProcess(false);
  server_ = std::make_unique<HelperServer>(std::move(options));
  std::string why;
  if (!server_->start(&why)) ADD_FAILURE() << "helper server: " << why;
}

RunningHelper::~RunningHelper() {
  server_->stop();
  PrivilegeHelper::shard().close();
  PrivilegeHelper::shard().setInProcess(std::nullopt);
}

void openFoldersForEveryone(const std::string& root, const std::string& path) {
  std::filesystem::path current = path;
  while (true) {
    ::chmod(current.c_str(), 0755);
    if (current.string() == root || current == current.parent_path()) break;
    current = current.parent_path();
  }
}

EventAnswer callEvent(HelperProtocol& tool, int event, const PlistValue& dictionary,
                      std::chrono::seconds limit) {
  auto promise = std::make_shared<std::promise<EventAnswer>>();
  std::future<EventAnswer> future = promise->get_future();
  tool.handleEvent(event, dictionary, [promise](bool ok, int code, PlistValue information) {
    promise->set_value({true, ok, code, std::move(information)});
  });
  if (future.wait_for(limit) != std::future_status::ready) return {};
  return future.get();
}

RawHelperClient::RawHelperClient(const std::string& socketPath) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof address.sun_path) return;
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ >= 0 &&
      ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

RawHelperClient::~RawHelperClient() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawHelperClient::send(const std::string& bytes) {
  return fd_ >= 0 && writeAllToSocket(fd_, bytes);
}

std::optional<std::string> RawHelperClient::readFrame(std::chrono::seconds limit) {
  if (fd_ < 0) return std::nullopt;
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(limit.count() * 1000)) <= 0) return std::nullopt;
  std::string body;
  if (readHelperFrame(fd_, kHelperMaxFrameSize, &body) != FrameReadStatus::ok) return std::nullopt;
  return body;
}

bool RawHelperClient::closedByPeer(std::chrono::seconds limit) {
  if (fd_ < 0) return true;
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(limit.count() * 1000)) <= 0) return false;
  char byte = 0;
  ssize_t n = ::recv(fd_, &byte, 1, MSG_DONTWAIT);
  // Unread bytes on the helper's side when it closed show as a reset.
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

PlistValue deleteValue(const std::string& path, PlistValue numbers) {
  if (auto identity = ListedIdentity::ofPath(path)) {
    putListedItem(numbers.asDictionary(), "/", *identity);
  }
  return numbers;
}

}  // namespace orvexa::testing
