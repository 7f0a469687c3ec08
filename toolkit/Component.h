// The framework's component: an object with an owner, a name and a component state.
//
// An owner destroys the components it owns, newest first. A component that is loading has its
// stored properties still being assigned; Loaded() runs once they all are. A designing component
// belongs to a form being edited, not run, and must not touch devices. Components that hold a
// pointer to another component ask it for a free notification, so they hear when it goes away.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace toolkit {

enum class Operation { Insert, Remove };

class Component {
 public:
  explicit Component(Component* owner = nullptr);
  virtual ~Component();

  Component(const Component&) = delete;
  Component& operator=(const Component&) = delete;

  Component* Owner() const { return owner_; }
  const std::vector<Component*>& Components() const { return components_; }

  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }

  bool Loading() const { return loading_; }
  bool Designing() const { return designing_; }
  bool Destroying() const { return destroying_; }

  // The form reader sets Loading while it assigns stored properties, then calls Loaded.
  void BeginLoading() { loading_ = true; }
  void SetDesigning(bool designing) { designing_ = designing; }

  // After the owner's stored properties have been assigned. Clears the loading state first.
  virtual void Loaded();

  // Asks `other` to call this component's Notification(other, Remove) when it is destroyed.
  void FreeNotification(Component* other);
  void RemoveFreeNotification(Component* other);

 protected:
  // Another component was inserted into or removed from this owner, or a component this one asked
  // for a free notification is going away.
  virtual void Notification(Component* component, Operation operation);

 private:
  void Insert(Component* child);
  void Remove(Component* child);

  Component* owner_;
  std::string name_;
  std::vector<Component*> components_;
  std::vector<Component*> freeNotifies_;
  bool loading_ = false;
  bool designing_ = false;
  bool destroying_ = false;
};

}  // namespace toolkit
