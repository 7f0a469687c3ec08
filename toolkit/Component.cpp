#include "toolkit/Component.h"

#include <algorithm>

namespace toolkit {
namespace {

void Erase(std::vector<Component*>& list, Component* item) {
  list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

}  // namespace

Component::Component(Component* owner) : owner_(owner) {
  if (owner_ != nullptr) owner_->Insert(this);
}

Component::~Component() {
  destroying_ = true;
  // Those that watch this component forget it before it goes.
  while (!freeNotifies_.empty()) {
    Component* watcher = freeNotifies_.back();
    freeNotifies_.pop_back();
    Erase(watcher->freeNotifies_, this);
    watcher->Notification(this, Operation::Remove);
  }
  while (!components_.empty()) delete components_.back();
  if (owner_ != nullptr) owner_->Remove(this);
}

void Component::Loaded() { loading_ = false; }

void Component::FreeNotification(Component* other) {
  if (other == nullptr || other == this) return;
  if (std::find(other->freeNotifies_.begin(), other->freeNotifies_.end(), this) ==
      other->freeNotifies_.end()) {
    other->freeNotifies_.push_back(this);
    freeNotifies_.push_back(other);
  }
}

void Component::RemoveFreeNotification(Component* other) {
  if (other == nullptr) return;
  Erase(other->freeNotifies_, this);
  Erase(freeNotifies_, other);
}

void Component::Notification(Component* /*component*/, Operation /*operation*/) {}

void Component::Insert(Component* child) {
  components_.push_back(child);
  Notification(child, Operation::Insert);
}

void Component::Remove(Component* child) {
  Erase(components_, child);
  Notification(child, Operation::Remove);
}

}  // namespace toolkit
