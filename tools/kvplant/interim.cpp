// INTERIM, DROPPED AT MERGE: minimal inventory and release readers so that
// the rollout can run before the inventory and pre-flight part lands. Every
// controller takes every file; an ipk's Version gives the expected
// application revision. The real ones live in inventory.cpp and
// preflight.cpp.
#include <cjson/cJSON.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/handles.h"
#include "kvpack/kvpack.h"
#include "kvplant/plant.h"
#include "kvplant/rollout.h"

namespace kvplant {

kv::Result<Inventory> LoadInventory(const std::string& path) {
  auto text = kvpack::ReadWholeFile(path);
  if (!text) return text.error();
  const kv::Json doc(cJSON_Parse(text.value().c_str()));
  const cJSON* list = doc ? cJSON_GetObjectItemCaseSensitive(doc.get(), "controllers") : nullptr;
  if (!cJSON_IsArray(list)) return kv::Error(0, path + ": not an inventory");
  Inventory inv;
  const cJSON* c = nullptr;
  cJSON_ArrayForEach(c, list) {
    Controller k;
    auto member = [c](const char* name) {
      const cJSON* v = cJSON_GetObjectItemCaseSensitive(c, name);
      return cJSON_IsString(v) ? std::string(v->valuestring) : std::string();
    };
    k.mac = member("mac");
    k.platform = member("platform");
    k.deviceName = member("device_name");
    k.swRevision = member("sw_revision");
    k.imageVersion = member("image_version");
    const cJSON* a = nullptr;
    cJSON_ArrayForEach(a, cJSON_GetObjectItemCaseSensitive(c, "addresses")) {
      if (cJSON_IsString(a)) k.addresses.emplace_back(a->valuestring);
    }
    if (k.addresses.empty()) return kv::Error(0, path + ": a controller without an address");
    inv.controllers.push_back(std::move(k));
  }
  return inv;
}

kv::Result<std::vector<ReleaseFile>> LoadRelease(const std::vector<std::string>& paths) {
  std::vector<ReleaseFile> out;
  for (const std::string& p : paths) {
    ReleaseFile f;
    f.path = p;
    f.name = kvpack::BaseName(p);
    auto hashed = HashFile(p);
    if (!hashed) return hashed.error();
    f.size = hashed.value().first;
    f.sha256 = hashed.value().second;
    const std::string sig = kvpack::DefaultSignaturePath(p);
    struct stat st {};
    if (::stat(sig.c_str(), &st) == 0 && S_ISREG(st.st_mode)) f.signature = sig;
    out.push_back(std::move(f));
  }
  return out;
}

std::vector<Plan> PlanRelease(const std::vector<ReleaseFile>& release, const Inventory& inventory, const std::string&) {
  std::vector<Plan> plans;
  for (std::size_t i = 0; i < inventory.controllers.size(); ++i) {
    Plan p;
    p.controller = i;
    p.take = Take::kTakes;
    for (std::size_t f = 0; f < release.size(); ++f) {
      p.files.push_back(f);
      if (release[f].name.size() > 4 && release[f].name.substr(release[f].name.size() - 4) == ".ipk") {
        if (auto control = kvpack::ReadIpk(release[f].path)) p.expectApp = "Rev: " + control.value().version;
      }
      p.what += (p.what.empty() ? "" : ", ") + release[f].name;
    }
    plans.push_back(std::move(p));
  }
  return plans;
}

}  // namespace kvplant
