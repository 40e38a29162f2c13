// Taking over PuTTY's saved sessions, and the licence notices of the shipped components.
#include "app/putty_ops.h"

#include "app/licenses.h"
#include "app/morvane_app.h"
#include "putty/putty_import.h"
#include "putty/putty_store.h"

namespace morvane {

Json MorvaneApp::import_list_from_putty() { return putty::_read_putty_registry_sessions(); }

void MorvaneApp::_import_one(const Json& rec) {
  sessions.append(putty::to_session_record(rec, _t("info.import_default_name")));
}

Json MorvaneApp::import_putty_sessions(const Json& putty_records) {
  // A record that is not one fails the call there; those before it stay in the list and go
  // to the file with its next save.
  for (const auto& rec : putty_records) _import_one(rec);
  sessions.save();
  return Json{{"sessions", sessions.list_json()}};
}

std::pair<fs::path, fs::path> MorvaneApp::_license_scan_dirs() const {
  // The build and the installation place one metadata folder per shipped library here.
  fs::path components = resource_dir / "licenses";
  return {components, components / "Putty原始檔案"};
}

Json MorvaneApp::get_third_party_licenses() {
  auto [components, putty_root] = _license_scan_dirs();
  return third_party_licenses(components, putty_root);
}

void install_putty_ops(MorvaneApp& app) {
  Bridge& b = app.bridge;
  b.add("import_list_from_putty", 0, {}, [&app](const Json&) { return app.import_list_from_putty(); });
  b.add("import_putty_sessions", 1, {}, [&app](const Json& a) {
    if (!a[0].is_array()) throw BridgeError("argument 'putty_records' must be a sequence");
    return app.import_putty_sessions(a[0]);
  });
  b.add("get_third_party_licenses", 0, {}, [&app](const Json&) { return app.get_third_party_licenses(); });
}

}  // namespace morvane
