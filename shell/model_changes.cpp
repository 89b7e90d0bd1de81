#include "shell/model_changes.h"

#include <algorithm>

namespace korvan {

Subscription& Subscription::operator=(Subscription&& other) noexcept {
  if (this != &other) {
    Release();
    owner_ = std::move(other.owner_);
    id_ = other.id_;
    other.id_ = 0;
  }
  return *this;
}

Subscription::~Subscription() { Release(); }

void Subscription::Release() {
  if (id_ == 0) return;
  if (const auto owner = owner_.lock()) (*owner)->Unsubscribe(id_);
  id_ = 0;
}

Subscription ChangeNotifier::Subscribe(ModelChange what, Listener listener) {
  const std::size_t id = next_id_++;
  entries_.push_back({id, what, std::make_shared<Listener>(std::move(listener))});
  return Subscription(self_, id);
}

void ChangeNotifier::Unsubscribe(std::size_t id) {
  std::erase_if(entries_, [id](const Entry& e) { return e.id == id; });
}

void ChangeNotifier::Notify(ModelChange what) {
  // A copy of the listeners: one may change the subscriptions while it runs.
  // One unsubscribed meanwhile is not called any more.
  std::vector<std::pair<std::size_t, std::shared_ptr<Listener>>> due;
  for (const Entry& e : entries_) {
    if (e.what == what) due.emplace_back(e.id, e.listener);
  }
  for (const auto& [id, listener] : due) {
    const bool still = std::any_of(entries_.begin(), entries_.end(), [id = id](const Entry& e) { return e.id == id; });
    if (still) (*listener)();
  }
}

}  // namespace korvan
