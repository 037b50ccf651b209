// The component base: components own the components created with them as
// owner, carry a name and state flags, hear when loading from a form
// description ends, and may define extra stored properties (see
// FormReader.h).
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <typeindex>
#include <utility>
#include <vector>

#include "rtl/Exception.h"
#include "rtl/Object.h"
#include "rtl/Types.h"

namespace rtl {

class TFormReader;

// A component name is empty, already used by a sibling, or not an identifier.
class EComponentError : public Exception {
 public:
  using Exception::Exception;
};

enum TComponentStateFlag : uint8_t {
  csLoading,     // between the start of reading a form description and Loaded
  csReading,     // while its own properties are being read
  csDesigning,   // used by a designer rather than a running program
  csDestroying,  // destruction has begun
};

// A set of component state flags.
class TComponentState {
 public:
  constexpr TComponentState() = default;
  constexpr TComponentState(std::initializer_list<TComponentStateFlag> flags) {
    for (auto f : flags) Include(f);
  }
  constexpr bool Contains(TComponentStateFlag f) const { return (bits_ & Bit(f)) != 0; }
  constexpr TComponentState& Include(TComponentStateFlag f) { bits_ |= Bit(f); return *this; }
  constexpr TComponentState& Exclude(TComponentStateFlag f) { bits_ &= ~Bit(f); return *this; }
  constexpr bool Empty() const { return bits_ == 0; }
  friend constexpr bool operator==(TComponentState, TComponentState) = default;

 private:
  static constexpr uint8_t Bit(TComponentStateFlag f) { return static_cast<uint8_t>(1u << f); }
  uint8_t bits_ = 0;
};

class TComponent : public TObject {
 public:
  // Joins owner's components (owner may be null) and takes over its design
  // mode. Work that needs the complete object belongs in AfterConstruction.
  explicit TComponent(TComponent* owner);
  // Destroys the owned components, last first, after marking this component
  // and all it owns as destroying, then leaves the owner.
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  // Called once the most derived constructor has finished: by
  // CreateComponent, by the form reader (with csLoading already set), or
  // explicitly by whoever constructs a component directly with new.
  virtual void AfterConstruction() {}

  // The owner, or null.
  TComponent* Owner() const { return owner_; }
  const AnsiString& Name() const { return name_; }
  // Raises EComponentError when name is not empty and not an identifier
  // (letters, digits, '_', not starting with a digit), or when another
  // component of the same owner has it. Names compare case-sensitively.
  void SetName(const AnsiString& name);

  int32_t ComponentCount() const { return static_cast<int32_t>(components_.size()); }
  // Raises EListError outside 0..ComponentCount()-1.
  TComponent* Components(int32_t index) const;
  // The owned component with that name (not searched recursively), or null;
  // an empty name finds nothing.
  TComponent* FindComponent(std::string_view name) const;
  // Position among the owner's components, or -1 without owner.
  int32_t ComponentIndex() const;

  TComponentState ComponentState() const { return state_; }
  // Turns design mode on or off for this component and all it owns.
  void SetDesigning(bool value);

  // End of loading from a form description: clears csLoading. Overrides
  // call the base first.
  virtual void Loaded();
  // Defines extra stored properties through reader.DefineProperty. The base
  // defines none.
  virtual void DefineProperties(TFormReader& reader);
  // The published-property hook of the form description: reads the value of
  // property name through reader and returns true, or returns false
  // (reading nothing) when the component has no such property.
  virtual bool ReadProperty(std::string_view name, TFormReader& reader);

  // Marks this component and all it owns as destroying. Derived destructors
  // that still need their members while owned components go may call it
  // (and DestroyComponents) first; the base destructor does it anyway.
  void Destroying();
  // Destroys the owned components, last first.
  void DestroyComponents();

  // The name the class is registered under (RegisterComponentClass), or ""
  // when the dynamic class is not registered.
  AnsiString ClassName() const;

 private:
  friend class TFormReader;
  void Insert(TComponent* component);
  void Remove(TComponent* component);

  TComponent* owner_ = nullptr;
  AnsiString name_;
  std::vector<TComponent*> components_;
  TComponentState state_;
};

// Constructs T (with new, so the owner may take it over), then runs its
// AfterConstruction. When AfterConstruction raises, the component is
// destroyed and the exception passes on.
template <class T, class... A>
T* CreateComponent(A&&... args) {
  T* component = new T(std::forward<A>(args)...);
  try {
    component->AfterConstruction();
  } catch (...) {
    delete component;
    throw;
  }
  return component;
}

// Constructs a component of a registered class with the given owner (without
// running AfterConstruction; the caller does).
using TComponentFactory = std::function<TComponent*(TComponent* owner)>;

// Registers factory under className for the form description; a second
// registration of the same name replaces the first.
void RegisterComponentClass(const AnsiString& className, std::type_index type, TComponentFactory factory);
template <class T>
void RegisterComponentClass(const AnsiString& className) {
  RegisterComponentClass(className, typeid(T), [](TComponent* owner) -> TComponent* { return new T(owner); });
}
// Removes the registration of className, if any.
void UnregisterComponentClass(const AnsiString& className);
// The factory registered under className, or an empty function.
TComponentFactory FindComponentClass(std::string_view className);

}  // namespace rtl
