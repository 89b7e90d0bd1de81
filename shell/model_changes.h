// Change notifications of the shell model, so that views subscribe to what
// they show instead of polling it. A notification names what changed; the
// view reads the new state from the model.
//
// Thread rule: main thread only, like the model itself. A listener may
// subscribe or unsubscribe others (or itself) while it is being notified.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

namespace korvan {

enum class ModelChange {
  kStatistics,       // totals, savings, account dates (ShowStatistics)
  kChart,            // the throughput chart moved on a second
  kLog,              // a line was written, or the log cleared
  kAlarm,            // the tray alarm started or stopped
  kConnectionCount,  // open connections
  kPortTable,        // rows added, edited, deleted or reopened
  kSettings,         // connection settings, filters, sliders, log switches, language
  kEditMode,         // the connection settings were unlocked or locked
  kActivePage,       // the page shown
  kUpdate,           // the update button, its tag or the download gauge
};

class ChangeNotifier;

// Keeps a listener subscribed for as long as it lives.
class Subscription {
 public:
  Subscription() = default;
  Subscription(Subscription&& other) noexcept : owner_(std::move(other.owner_)), id_(other.id_) { other.id_ = 0; }
  Subscription& operator=(Subscription&&) noexcept;
  Subscription(const Subscription&) = delete;
  Subscription& operator=(const Subscription&) = delete;
  ~Subscription();

 private:
  friend class ChangeNotifier;
  Subscription(std::weak_ptr<ChangeNotifier*> owner, std::size_t id) : owner_(std::move(owner)), id_(id) {}
  void Release();
  std::weak_ptr<ChangeNotifier*> owner_;
  std::size_t id_ = 0;
};

class ChangeNotifier {
 public:
  using Listener = std::function<void()>;

  ChangeNotifier() : self_(std::make_shared<ChangeNotifier*>(this)) {}
  ChangeNotifier(const ChangeNotifier&) = delete;
  ChangeNotifier& operator=(const ChangeNotifier&) = delete;

  // Calls `listener` after every change of `what`, until the returned
  // subscription ends.
  [[nodiscard]] Subscription Subscribe(ModelChange what, Listener listener);
  void Notify(ModelChange what);

 private:
  friend class Subscription;
  struct Entry {
    std::size_t id;
    ModelChange what;
    std::shared_ptr<Listener> listener;
  };
  void Unsubscribe(std::size_t id);

  // Subscriptions hold a weak pointer to this, so that one that outlives
  // the notifier does nothing when it ends.
  std::shared_ptr<ChangeNotifier*> self_;
  std::vector<Entry> entries_;
  std::size_t next_id_ = 1;
};

}  // namespace korvan
