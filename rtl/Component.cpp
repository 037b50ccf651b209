#include "rtl/Component.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "rtl/rtlconst.h"

namespace rtl {
namespace {

struct ClassEntry {
  std::type_index type;
  TComponentFactory factory;
};

using ClassMap = std::map<AnsiString, ClassEntry, std::less<>>;

// Created on first use, so registrations from static initialisers of other
// units work whatever their order.
ClassMap& Registry() {
  static ClassMap registry;
  return registry;
}

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

bool IsIdentifier(std::string_view s) {
  if (s.empty()) return false;
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (!letter(s[0])) return false;
  return std::all_of(s.begin() + 1, s.end(), [&](char c) { return letter(c) || (c >= '0' && c <= '9'); });
}

}  // namespace

TComponent::TComponent(TComponent* owner) {
  if (owner) owner->Insert(this);
}

TComponent::~TComponent() {
  Destroying();
  DestroyComponents();
  if (owner_) owner_->Remove(this);
}

void TComponent::Insert(TComponent* component) {
  components_.push_back(component);
  component->owner_ = this;
  if (state_.Contains(csDesigning)) component->SetDesigning(true);
}

void TComponent::Remove(TComponent* component) {
  auto it = std::find(components_.begin(), components_.end(), component);
  if (it != components_.end()) components_.erase(it);
  component->owner_ = nullptr;
}

void TComponent::SetName(const AnsiString& name) {
  if (name == name_) return;
  if (!name.empty()) {
    if (!IsIdentifier(name)) throw EComponentError(Format(msg::kInvalidName, {name}));
    if (owner_ && owner_->FindComponent(name)) throw EComponentError(Format(msg::kDuplicateName, {name}));
  }
  name_ = name;
}

TComponent* TComponent::Components(int32_t index) const {
  if (index < 0 || index >= ComponentCount()) throw EListError(Format(msg::kListIndexError, {index}));
  return components_[static_cast<size_t>(index)];
}

TComponent* TComponent::FindComponent(std::string_view name) const {
  if (name.empty()) return nullptr;
  for (TComponent* c : components_)
    if (c->name_ == name) return c;
  return nullptr;
}

int32_t TComponent::ComponentIndex() const {
  if (!owner_) return -1;
  auto& siblings = owner_->components_;
  auto it = std::find(siblings.begin(), siblings.end(), this);
  return it == siblings.end() ? -1 : static_cast<int32_t>(it - siblings.begin());
}

void TComponent::SetDesigning(bool value) {
  if (value)
    state_.Include(csDesigning);
  else
    state_.Exclude(csDesigning);
  for (TComponent* c : components_) c->SetDesigning(value);
}

void TComponent::Loaded() { state_.Exclude(csLoading); }

void TComponent::DefineProperties(TFormReader&) {}

bool TComponent::ReadProperty(std::string_view, TFormReader&) { return false; }

void TComponent::Destroying() {
  if (state_.Contains(csDestroying)) return;
  state_.Include(csDestroying);
  for (TComponent* c : components_) c->Destroying();
}

void TComponent::DestroyComponents() {
  while (!components_.empty()) {
    TComponent* last = components_.back();
    // Unlink first, so the child's destructor finds nothing to remove.
    components_.pop_back();
    last->owner_ = nullptr;
    delete last;
  }
}

AnsiString TComponent::ClassName() const {
  const std::type_index type(typeid(*this));
  std::lock_guard guard(RegistryMutex());
  for (const auto& [name, entry] : Registry())
    if (entry.type == type) return name;
  return {};
}

void RegisterComponentClass(const AnsiString& className, std::type_index type, TComponentFactory factory) {
  std::lock_guard guard(RegistryMutex());
  Registry().insert_or_assign(className, ClassEntry{type, std::move(factory)});
}

void UnregisterComponentClass(const AnsiString& className) {
  std::lock_guard guard(RegistryMutex());
  auto& registry = Registry();
  if (auto it = registry.find(className); it != registry.end()) registry.erase(it);
}

TComponentFactory FindComponentClass(std::string_view className) {
  std::lock_guard guard(RegistryMutex());
  auto& registry = Registry();
  auto it = registry.find(className);
  return it == registry.end() ? TComponentFactory() : it->second.factory;
}

}  // namespace rtl
