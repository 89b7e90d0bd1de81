#include "platform/gnome_proxy_settings.h"

#define G_SETTINGS_ENABLE_BACKEND
#include <gio/gio.h>
#include <gio/gsettingsbackend.h>

#include <algorithm>
#include <cerrno>

#include "platform/proxy_server_text.h"

namespace korvan {
namespace {

constexpr const char* kRootSchema = "org.gnome.system.proxy";
constexpr const char* kChildren[] = {"http", "https", "ftp", "socks"};

// A GSettings setter's FALSE: the key is locked down or not writable.
constexpr int kNotWritable = EACCES;

bool SchemaInstalled(const char* id) {
  GSettingsSchemaSource* source = g_settings_schema_source_get_default();
  if (source == nullptr) return false;
  GSettingsSchema* schema = g_settings_schema_source_lookup(source, id, TRUE);
  if (schema == nullptr) return false;
  g_settings_schema_unref(schema);
  return true;
}

std::string TakeString(gchar* text) {
  std::string value = text != nullptr ? text : "";
  g_free(text);
  return value;
}

}  // namespace

struct GnomeProxySettings::Schemas {
  std::string keyfile;
  GSettings* root = nullptr;
  GSettings* child[4] = {};

  ~Schemas() {
    for (GSettings* s : child) {
      if (s != nullptr) g_object_unref(s);
    }
    if (root != nullptr) g_object_unref(root);
  }

  // Every key this back-end manages: its own name, the object holding it.
  std::vector<std::pair<std::string, std::pair<GSettings*, std::string>>> Keys() const {
    std::vector<std::pair<std::string, std::pair<GSettings*, std::string>>> keys = {
        {"mode", {root, "mode"}}, {"autoconfig-url", {root, "autoconfig-url"}}, {"ignore-hosts", {root, "ignore-hosts"}}};
    for (int i = 0; i < 4; ++i) {
      keys.push_back({std::string(kChildren[i]) + ".host", {child[i], "host"}});
      keys.push_back({std::string(kChildren[i]) + ".port", {child[i], "port"}});
    }
    return keys;
  }
};

std::unique_ptr<GnomeProxySettings> GnomeProxySettings::Open(const std::optional<std::filesystem::path>& keyfile,
                                                             std::string* why) {
  for (const char* id : {"org.gnome.system.proxy", "org.gnome.system.proxy.http", "org.gnome.system.proxy.https",
                         "org.gnome.system.proxy.ftp", "org.gnome.system.proxy.socks"}) {
    if (!SchemaInstalled(id)) {
      if (why != nullptr) *why = std::string("the GSettings schema ") + id + " is not installed";
      return nullptr;
    }
  }
  auto schemas = std::make_unique<Schemas>();
  GSettingsBackend* backend = nullptr;
  if (keyfile) {
    schemas->keyfile = keyfile->string();
    backend = g_keyfile_settings_backend_new(schemas->keyfile.c_str(), "/", nullptr);
  }
  const auto open = [backend](const std::string& id) {
    return backend != nullptr ? g_settings_new_with_backend(id.c_str(), backend) : g_settings_new(id.c_str());
  };
  schemas->root = open(kRootSchema);
  for (int i = 0; i < 4; ++i) schemas->child[i] = open(std::string(kRootSchema) + "." + kChildren[i]);
  // The settings objects hold the back-end for as long as they live.
  if (backend != nullptr) g_object_unref(backend);
  return std::unique_ptr<GnomeProxySettings>(new GnomeProxySettings(std::move(schemas)));
}

GnomeProxySettings::GnomeProxySettings(std::unique_ptr<Schemas> schemas) : schemas_(std::move(schemas)) {}
GnomeProxySettings::~GnomeProxySettings() = default;

std::string GnomeProxySettings::location() const {
  return schemas_->keyfile.empty() ? "GSettings" : "GSettings key file " + schemas_->keyfile;
}

int GnomeProxySettings::Read(TIESettings& mapped, DesktopValues& own) {
  GSettings* root = schemas_->root;
  const std::string mode = TakeString(g_settings_get_string(root, "mode"));
  const std::string url = TakeString(g_settings_get_string(root, "autoconfig-url"));
  std::vector<std::string> ignored;
  gchar** hosts = g_settings_get_strv(root, "ignore-hosts");
  for (gchar** h = hosts; h != nullptr && *h != nullptr; ++h) ignored.emplace_back(*h);
  g_strfreev(hosts);

  ProxyHostPort* targets[4];
  ProxyHosts proxies;
  targets[0] = &proxies.http;
  targets[1] = &proxies.https;
  targets[2] = &proxies.ftp;
  targets[3] = &proxies.socks;
  for (int i = 0; i < 4; ++i) {
    targets[i]->host = TakeString(g_settings_get_string(schemas_->child[i], "host"));
    targets[i]->port = g_settings_get_int(schemas_->child[i], "port");
  }

  DesktopValues values;
  for (const auto& [name, where] : schemas_->Keys()) {
    GVariant* value = g_settings_get_user_value(where.first, where.second.c_str());
    if (value == nullptr) continue;
    values.emplace_back(name, TakeString(g_variant_print(value, FALSE)));
    g_variant_unref(value);
  }

  mapped.flags = mode == "manual" ? 3 : mode == "auto" ? (url.empty() ? 9 : 5) : 1;
  mapped.proxy_server = FormatProxyServer(proxies);
  mapped.bypass_list = JoinList(ignored, ';');
  mapped.auto_config_url = url;
  own = std::move(values);
  return 0;
}

int GnomeProxySettings::Write(const TIESettings& settings) {
  GSettings* root = schemas_->root;
  const char* mode = (settings.flags & (4 | 8)) != 0 ? "auto" : (settings.flags & 2) != 0 ? "manual" : "none";
  const ProxyHosts proxies = ParseProxyServer(settings.proxy_server);
  const ProxyHostPort* sources[4] = {&proxies.http, &proxies.https, &proxies.ftp, &proxies.socks};
  const std::vector<std::string> ignored = SplitList(settings.bypass_list, ';');
  std::vector<const gchar*> list;
  for (const auto& host : ignored) list.push_back(host.c_str());
  list.push_back(nullptr);

  bool ok = true;
  // The hosts first, the mode last: a program that reads in between never
  // sees the new mode with the old hosts.
  for (int i = 0; i < 4; ++i) {
    ok &= g_settings_set_string(schemas_->child[i], "host", sources[i]->host.c_str()) != 0;
    ok &= g_settings_set_int(schemas_->child[i], "port", sources[i]->port) != 0;
  }
  ok &= g_settings_set_strv(root, "ignore-hosts", list.data()) != 0;
  ok &= g_settings_set_string(root, "autoconfig-url", settings.auto_config_url.c_str()) != 0;
  ok &= g_settings_set_string(root, "mode", mode) != 0;
  return ok ? 0 : kNotWritable;
}

int GnomeProxySettings::Restore(const DesktopValues& own) {
  bool ok = true;
  for (const auto& key : schemas_->Keys()) {
    const std::string& name = key.first;
    const auto& where = key.second;
    const auto kept = std::find_if(own.begin(), own.end(), [&name](const auto& v) { return v.first == name; });
    if (kept == own.end()) {
      g_settings_reset(where.first, where.second.c_str());
      continue;
    }
    GVariant* current = g_settings_get_value(where.first, where.second.c_str());
    GVariant* value = g_variant_parse(g_variant_get_type(current), kept->second.c_str(), nullptr, nullptr, nullptr);
    g_variant_unref(current);
    if (value == nullptr) {
      ok = false;
      continue;
    }
    // The setter takes the floating reference.
    ok &= g_settings_set_value(where.first, where.second.c_str(), value) != 0;
  }
  return ok ? 0 : kNotWritable;
}

void GnomeProxySettings::Notify() {
  // GSettings tells its watchers by itself; what is left is to have the
  // writes reach the store before the program goes on.
  g_settings_sync();
}

}  // namespace korvan
