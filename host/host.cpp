#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <utility>

#include "tamrix_host.hpp"

// The handle types are opaque to plug-ins; the host is the one that owns what
// they point to.
struct tamrix_body {
  std::string name;
};
struct tamrix_geom {
  std::string name;
};
struct tamrix_contact_group {};

namespace tamrix_host {
namespace {

Host *active_host = nullptr;

template <typename T>
T *find_named(const std::vector<std::unique_ptr<T>> &items, const char *name) {
  if (name == nullptr) {
    return nullptr;
  }
  for (const auto &item : items) {
    if (item->name == name) {
      return item.get();
    }
  }
  return nullptr;
}

}  // namespace

// Static members of a friend, so the C services can reach the live Host.
struct ServiceCalls {
  static tamrix_geom_handle geom_lookup(const char *def_name) {
    return find_named(active_host->geometries_, def_name);
  }

  static tamrix_body_handle body_lookup(const char *def_name) {
    Host &host = *active_host;
    tamrix_body *body = find_named(host.bodies_, def_name);
    const std::lock_guard lock(host.mutex_);
    host.body_lookups_.push_back(
        {def_name, def_name != nullptr ? def_name : "(null)", body != nullptr});
    return body;
  }

  static tamrix_contact_group_handle contact_group() { return active_host->contact_group_.get(); }

  static void send(int channel, const void *data, std::size_t size) {
    Host &host = *active_host;
    const auto *bytes = static_cast<const unsigned char *>(data);
    const std::lock_guard lock(host.mutex_);
    host.channels_[channel].emplace_back(bytes, bytes + size);
  }

  static const void *receive(int channel, std::size_t *size) {
    Host &host = *active_host;
    const std::lock_guard lock(host.mutex_);
    auto &queue = host.channels_[channel];
    if (queue.empty()) {
      *size = 0;
      return nullptr;
    }
    host.last_received_ = std::move(queue.front());
    queue.pop_front();
    *size = host.last_received_.size();
    return host.last_received_.data();
  }

  static void console_printf(const char *format, ...) TAMRIX_PHYSICS_PRINTF_LIKE(1, 2) {
    std::va_list args;
    va_start(args, format);
    std::va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0U, '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    va_end(args);

    Host &host = *active_host;
    const std::lock_guard lock(host.mutex_);
    if (host.console_echo_ != nullptr) {
      *host.console_echo_ << "[plugin console] " << text << '\n';
    }
    host.console_.push_back({format, std::move(text)});
  }

  static double time() {
    const std::lock_guard lock(active_host->mutex_);
    return active_host->time_;
  }
};

Host::Host(World world, std::ostream *console_echo)
    : contact_group_(std::make_unique<tamrix_contact_group>()), console_echo_(console_echo) {
  if (active_host != nullptr) {
    throw std::logic_error("only one tamrix_host::Host may exist at a time");
  }
  for (auto &name : world.bodies) {
    bodies_.push_back(std::make_unique<tamrix_body>(tamrix_body{std::move(name)}));
  }
  for (auto &name : world.geometries) {
    geometries_.push_back(std::make_unique<tamrix_geom>(tamrix_geom{std::move(name)}));
  }
  active_host = this;
}

Host::~Host() { active_host = nullptr; }

Services Host::services() {
  return {&ServiceCalls::geom_lookup, &ServiceCalls::body_lookup, &ServiceCalls::contact_group,
          &ServiceCalls::send,        &ServiceCalls::receive,     &ServiceCalls::console_printf,
          &ServiceCalls::time};
}

World World::standard() { return {{"arm", "base", "wheel"}, {"arm", "base", "floor"}}; }

tamrix_body_handle Host::body(const std::string &name) const {
  return find_named(bodies_, name.c_str());
}

tamrix_geom_handle Host::geometry(const std::string &name) const {
  return find_named(geometries_, name.c_str());
}

std::vector<tamrix_geom_handle> Host::geometries() const {
  std::vector<tamrix_geom_handle> handles;
  handles.reserve(geometries_.size());
  for (const auto &item : geometries_) {
    handles.push_back(item.get());
  }
  return handles;
}

tamrix_contact_group_handle Host::contact_group() const { return contact_group_.get(); }

void Host::advance_time(double seconds) {
  const std::lock_guard lock(mutex_);
  time_ += seconds;
}

std::vector<ConsoleMessage> Host::console() const {
  const std::lock_guard lock(mutex_);
  return console_;
}

std::vector<BodyLookup> Host::body_lookups() const {
  const std::lock_guard lock(mutex_);
  return body_lookups_;
}

}  // namespace tamrix_host
