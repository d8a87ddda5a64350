// The Firefox category: one profile's places, cookie and form-history
// databases and its saved logins.
//
// Two titles fall back where today's stores leave the named field out: a
// cookie is titled by its host (leading dots dropped) when the store has no
// baseDomain column (gone from cookies.sqlite for years), and a saved login
// by its "hostname" when "formSubmitURL" is null, as it is for HTTP
// authentication logins. Without them those items would show no title.
#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>

#include "orvexa/platform/file_manager.h"
#include "orvexa/scan/privacy/privacy_scan_service.h"
#include "scan/privacy/privacy_support.h"

namespace orvexa {
namespace {

using privacy::databaseGroup;
using privacy::Status;

const char* const kVisitQuery =
    "select * from moz_places inner join moz_historyvisits on moz_historyvisits.place_id = "
    "moz_places.id order by id,visit_date desc;";
const char* const kDownloadQuery = "select * from moz_annos;";
const char* const kSearchQuery =
    "select * from moz_places inner join moz_keywords on moz_keywords.place_id = moz_places.id;";
const char* const kCookiesQuery = "select * from moz_cookies;";
const char* const kFormQuery = "select * from moz_formhistory;";

Timestamp firefoxDate(const SqlRow& row, const std::string& column) {
  return dateFromSeconds(privacy::firefoxSeconds(privacy::number(row, column)), true);
}

// The text of a JSON value as the clean reads it back: strings as they are,
// integers in decimal, anything else empty.
std::string jsonText(const nlohmann::json* value) {
  if (value == nullptr) return {};
  if (value->is_string()) return value->get<std::string>();
  if (value->is_number_integer()) return std::to_string(value->get<int64_t>());
  if (value->is_number_unsigned()) return std::to_string(value->get<uint64_t>());
  return {};
}

const nlohmann::json* member(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

// Adds the groups of the profile at `profile` to `category`, numbered from
// `next` on.
void scanFirefoxProfile(const CategoryPtr& category, const std::string& profile, int& next) {
  auto store = [&](std::string_view name) { return privacy::findPath(profile, name); };
  privacy::Store places(store("places.sqlite"), category->title);
  auto add = [&](FilePtr group) { category->childrens.push_back(std::move(group)); };
  std::vector<std::unique_ptr<privacy::Store>> others;
  auto storeNamed = [&](std::string_view name) -> privacy::Store& {
    return *others.emplace_back(std::make_unique<privacy::Store>(store(name), category->title));
  };

  add(databaseGroup(category, next++, Status::Visit, places, kVisitQuery, "VisitHistory",
                    [&](const SqlRow& row, const FilePtr& group, int position) {
                      const std::string address = privacy::text(row, "url");
                      return privacy::makeItem(
                          group, category, position, address, firefoxDate(row, "visit_date"),
                          privacy::urlFromText(address), privacy::text(row, "place_id"), 1);
                    }));

  auto [downloads, files] = privacy::downloadGroups(
      category, next, places, kDownloadQuery,
      [](const SqlRow& row) -> std::optional<privacy::DownloadRow> {
        const std::string content = privacy::text(row, "content");
        if (content.find("{\"state\":") != std::string::npos)
          return std::nullopt;  // a state record
        // A download's file address; other annotations may hold a web
        // address, which is kept as such and never taken for a file.
        return privacy::DownloadRow{privacy::lastPathComponent(content),
                                    firefoxDate(row, "dateAdded"), privacy::downloadUrl(content),
                                    privacy::text(row, "id")};
      });
  next += 2;
  add(downloads);
  add(files);

  add(databaseGroup(
      category, next++, Status::Search, places, kSearchQuery, "SearchHistory",
      [&](const SqlRow& row, const FilePtr& group, int position) {
        return privacy::makeItem(
            group, category, position, privacy::lastPathComponent(privacy::text(row, "keyword")),
            firefoxDate(row, "last_visit_date"), privacy::urlFromText(privacy::text(row, "url")),
            privacy::text(row, "id"), 1);
      }));

  add(databaseGroup(category, next++, Status::Cookies, storeNamed("cookies.sqlite"), kCookiesQuery,
                    "Cookies", [&](const SqlRow& row, const FilePtr& group, int position) {
                      std::string domain = privacy::text(row, "baseDomain");
                      if (domain.empty()) {
                        domain = privacy::text(row, "host");
                        domain.erase(0, domain.find_first_not_of('.'));
                      }
                      return privacy::makeItem(
                          group, category, position, privacy::lastPathComponent(domain),
                          firefoxDate(row, "creationTime"), Url(), privacy::text(row, "id"), 1);
                    }));

  add(databaseGroup(
      category, next++, Status::AutoValue, storeNamed("formhistory.sqlite"), kFormQuery, "AutoFill",
      [&](const SqlRow& row, const FilePtr& group, int position) {
        return privacy::makeItem(group, category, position,
                                 privacy::lastPathComponent(privacy::text(row, "fieldname")),
                                 firefoxDate(row, "firstUsed"), Url(), privacy::text(row, "id"), 1);
      }));

  const std::string logins = store("logins.json");
  FilePtr loginGroup = privacy::makeGroup(category, next++, Status::LoginHistory,
                                          Url::fromPath(logins), "LoginHistory");
  std::vector<FilePtr> loginItems;
  std::string why;
  if (std::optional<std::string> bytes = privacy::readStoreFile(logins, &why)) {
    nlohmann::json document = nlohmann::json::parse(*bytes, nullptr, false);
    if (document.is_discarded()) why = logins + ": not a JSON document";
    const nlohmann::json* list = document.is_object() ? member(document, "logins") : nullptr;
    if (list != nullptr && list->is_array()) {
      for (const nlohmann::json& login : *list) {
        if (!login.is_object()) continue;
        const nlohmann::json* created = member(login, "timeCreated");
        const double millis =
            created != nullptr && created->is_number() ? created->get<double>() : 1.0;
        std::any attachment;
        if (const nlohmann::json* id = member(login, "id"); id != nullptr) {
          attachment = jsonText(id);
        }
        std::string title = jsonText(member(login, "formSubmitURL"));
        if (title.empty()) title = jsonText(member(login, "hostname"));
        loginItems.push_back(privacy::makeItem(
            loginGroup, category, static_cast<int>(loginItems.size()), title,
            dateFromSeconds(millis / 1000.0, false), Url(), std::move(attachment), 1));
      }
    }
  }
  if (!why.empty()) loginGroup->scanErrorDesc = "not read: " + why;
  privacy::attach(loginGroup, std::move(loginItems));
  add(loginGroup);

  places.release();
  for (auto& other : others) other->release();
}

}  // namespace

void PrivacyScanService::scanFirefox(const CategoryPtr& firefoxCategory, Finish finish) {
  int next = 0;
  if (std::optional<std::string> profile = getFirefoxProfile()) {
    scanFirefoxProfile(firefoxCategory, *profile, next);
  }
  finish();
}

void PrivacyScanService::scanFirefoxProfiles(const CategoryPtr& firefoxCategory,
                                             const std::vector<std::string>& profileFolders,
                                             Finish finish) {
  int next = 0;
  privacy::scanLabelledProfiles(firefoxCategory, profileFolders, [&](const std::string& folder) {
    scanFirefoxProfile(firefoxCategory, folder, next);
  });
  finish();
}

}  // namespace orvexa
