#pragma once

#include "platform/toolkit/Component.h"
#include "platform/toolkit/Exception.h"

#include <algorithm>
#include <any>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeindex>
#include <vector>

// Published properties and the text form of a component tree (see docs/form-data.md).
//
// A class publishes its properties once, usually from a function-local static:
//
//   const TClassInfo& TComPort::StaticClassInfo() {
//       static const TClassInfo& info =
//           TPublished<TComPort>("TComPort", "TCustomComPort")
//               .Enum("BaudRate", &TComPort::BaudRate, &TComPort::SetBaudRate, BaudRateNames,
//               Default(br9600)) .Object("Parity", [](TComPort& p) { return &p.Parity(); }, "TComParity")
//               .Register();
//       return info;
//   }
//
// Getters take the object (member function pointers or lambdas); setters take the object and a value.
// Class names are looked up when used, so registration order does not matter, but every class a
// stored form names must have been registered before the form is read.

enum TPropKind : uint8_t {
    pkInteger,
    pkBool,
    pkEnum,
    pkSet,
    pkString,
    pkChar,
    pkClass,
    pkMethod,
    pkComponent
};

// When a property is written: skipped at its default, always, never, or by a predicate.
struct TStored {
    enum TMode : uint8_t { smDefault, smAlways, smNever, smWhen };
    TMode Mode = smAlways;
    int64_t Ord = 0;                              // default of ordinal kinds
    std::string Str;                              // default of strings
    std::function<bool(const TPersistent&)> When; // smWhen: written when it returns true
};

template <typename T> TStored Default(T Value) {
    TStored s;
    s.Mode = TStored::smDefault;
    if constexpr (std::is_convertible_v<T, std::string>)
        s.Str = std::string(Value);
    else if constexpr (requires { Value.Bits(); })
        s.Ord = static_cast<int64_t>(Value.Bits());
    else
        s.Ord = static_cast<int64_t>(Value);
    return s;
}
inline TStored Always() {
    return TStored{};
}
inline TStored Never() {
    TStored s;
    s.Mode = TStored::smNever;
    return s;
}

struct TPropInfo {
    std::string Name;
    TPropKind Kind = pkInteger;
    std::vector<std::string> MemberNames; // pkEnum, pkSet: names in ordinal order
    int64_t MinValue = std::numeric_limits<int32_t>::min();
    int64_t MaxValue = std::numeric_limits<int32_t>::max();
    std::string SubClassName; // pkClass: declared class of the sub-object
    TStored Stored;

    std::function<int64_t(const TPersistent&)> GetOrd; // integer, bool, enum, set bits, char byte
    std::function<void(TPersistent&, int64_t)> SetOrd;
    std::function<std::string(const TPersistent&)> GetStr; // pkString
    std::function<void(TPersistent&, const std::string&)> SetStr;
    std::function<TPersistent*(TPersistent&)> GetObject;    // pkClass
    std::function<bool(const TPersistent&)> MethodAssigned; // pkMethod
    std::function<void(TPersistent&, const std::any&)> SetMethod;
    std::type_index MethodType = typeid(void);
    std::function<TComponent*(const TPersistent&)> GetRef; // pkComponent
    // pkComponent: false when the component is not of the referenced class (SubClassName).
    std::function<bool(TPersistent&, TComponent*)> SetRef;

    // Whether the writer stores the current value of Instance.
    bool IsStored(const TPersistent& Instance) const;
};

struct TClassInfo {
    std::string Name;
    std::string ParentName;
    std::vector<TPropInfo> Props;
    // Creates an instance owned by AOwner; empty for classes that are only sub-objects.
    std::function<TComponent*(TComponent* AOwner)> Create;
    // Handlers a root component (a window) publishes by name for event properties.
    std::vector<std::pair<std::string, std::function<std::any(TComponent&)>>> Methods;

    const TClassInfo* Parent() const;
    // Own and inherited properties, the parent's first; name compared without regard to case.
    const TPropInfo* FindProp(std::string_view PropName) const;
    std::vector<const TPropInfo*> AllProps() const;
    const std::function<std::any(TComponent&)>* FindMethod(std::string_view MethodName) const;
    bool InheritsFrom(std::string_view ClassName) const;
};

// Registers (or replaces) a class; returns the stored record, valid for the program's lifetime.
const TClassInfo& RegisterClass(TClassInfo Info);
// Registered class of that name (case-insensitive), or nullptr.
const TClassInfo* FindClass(std::string_view Name);

// Error in stored form data or while applying it. Line is 1-based, 0 when not tied to a line.
class EFormDataError : public Exception {
  public:
    EFormDataError(const std::string& Message, int Line, std::string Component = {},
                   std::string Property = {});
    int Line() const { return FLine; }
    const std::string& ComponentName() const { return FComponent; }
    const std::string& PropertyName() const { return FProperty; }

  private:
    int FLine;
    std::string FComponent;
    std::string FProperty;
};

// Reads form data into an existing root (a window built in code): the root's own properties are set,
// its children are found by name among the components it owns or created through the class
// registry. Every component of the tree is in csLoading while properties are read; afterwards
// Loaded() is called on each in creation order (root first). On error the components this call
// created are deleted again, the others leave the loading state, and EFormDataError is raised.
void ReadComponentData(TComponent& Root, std::string_view Text);
// Creates the root from the data (its class through the registry) owned by AOwner and reads it.
TComponent* ReadComponent(std::string_view Text, TComponent* AOwner);
// Writes Root and everything it owns whose class is registered.
std::string WriteComponent(const TComponent& Root);

template <class C> class TPublished {
  public:
    explicit TPublished(std::string Name, std::string ParentName = {}) {
        FInfo.Name = std::move(Name);
        FInfo.ParentName = std::move(ParentName);
        if constexpr (std::is_constructible_v<C, TComponent*> && std::is_base_of_v<TComponent, C>)
            FInfo.Create = [](TComponent* AOwner) -> TComponent* { return new C(AOwner); };
    }

    template <class G, class S>
    TPublished& Integer(std::string Name, G Get, S Set, TStored Stored = Always(),
                        int64_t Min = std::numeric_limits<int32_t>::min(),
                        int64_t Max = std::numeric_limits<int32_t>::max()) {
        TPropInfo& p = AddOrdinal(std::move(Name), pkInteger, Get, Set, std::move(Stored));
        // Never wider than the property's own type, so a stored value is refused, not truncated.
        using V = std::remove_cvref_t<std::invoke_result_t<G, const C&>>;
        p.MinValue = std::max<int64_t>(Min, static_cast<int64_t>(std::numeric_limits<V>::min()));
        p.MaxValue = std::numeric_limits<V>::max() > static_cast<std::make_unsigned_t<V>>(INT64_MAX)
                         ? Max
                         : std::min<int64_t>(Max, static_cast<int64_t>(std::numeric_limits<V>::max()));
        return *this;
    }
    template <class G, class S> TPublished& Bool(std::string Name, G Get, S Set, TStored Stored = Always()) {
        TPropInfo& p = AddOrdinal(std::move(Name), pkBool, Get, Set, std::move(Stored));
        p.MinValue = 0;
        p.MaxValue = 1;
        return *this;
    }
    template <class G, class S>
    TPublished& Enum(std::string Name, G Get, S Set, std::vector<std::string> Members,
                     TStored Stored = Always()) {
        TPropInfo& p = AddOrdinal(std::move(Name), pkEnum, Get, Set, std::move(Stored));
        p.MinValue = 0;
        p.MaxValue = static_cast<int64_t>(Members.size()) - 1;
        p.MemberNames = std::move(Members);
        return *this;
    }
    template <class G, class S>
    TPublished& Set(std::string Name, G Get, S Set, std::vector<std::string> Members,
                    TStored Stored = Always()) {
        TPropInfo& p = AddOrdinal(std::move(Name), pkSet, Get, Set, std::move(Stored));
        p.MinValue = 0;
        p.MaxValue =
            Members.size() >= 63 ? std::numeric_limits<int64_t>::max() : (int64_t{1} << Members.size()) - 1;
        p.MemberNames = std::move(Members);
        return *this;
    }
    template <class G, class S> TPublished& Char(std::string Name, G Get, S Set, TStored Stored = Always()) {
        TPropInfo& p = AddOrdinal(std::move(Name), pkChar, Get, Set, std::move(Stored));
        p.MinValue = 0;
        p.MaxValue = 255;
        return *this;
    }
    template <class G, class S>
    TPublished& String(std::string Name, G Get, S Set, TStored Stored = Always()) {
        TPropInfo p;
        p.Name = std::move(Name);
        p.Kind = pkString;
        p.Stored = std::move(Stored);
        p.GetStr = [Get](const TPersistent& o) { return std::string(std::invoke(Get, Cast(o))); };
        p.SetStr = [Set](TPersistent& o, const std::string& v) { std::invoke(Set, Cast(o), v); };
        FInfo.Props.push_back(std::move(p));
        return *this;
    }
    // A sub-object the instance owns (its Parity, Buffer ...); its own properties are written as
    // dotted names. G returns a pointer to the sub-object.
    template <class G> TPublished& Object(std::string Name, G Get, std::string SubClassName) {
        TPropInfo p;
        p.Name = std::move(Name);
        p.Kind = pkClass;
        p.SubClassName = std::move(SubClassName);
        p.GetObject = [Get](TPersistent& o) -> TPersistent* { return std::invoke(Get, Cast(o)); };
        FInfo.Props.push_back(std::move(p));
        return *this;
    }
    // An event property of handler type Ev; stored by the name of the root's published method.
    // G returns the current handler (or anything testable as bool), S takes an Ev.
    template <class Ev, class G, class S> TPublished& Event(std::string Name, G Get, S Set) {
        TPropInfo p;
        p.Name = std::move(Name);
        p.Kind = pkMethod;
        p.MethodType = typeid(Ev);
        p.MethodAssigned = [Get](const TPersistent& o) {
            return static_cast<bool>(std::invoke(Get, Cast(o)));
        };
        p.SetMethod = [Set](TPersistent& o, const std::any& v) {
            std::invoke(Set, Cast(o), std::any_cast<Ev>(v));
        };
        FInfo.Props.push_back(std::move(p));
        return *this;
    }
    // A reference to another component of the same form, which the instance does not own (a
    // follower's port). Stored by the component's name and resolved once the whole form has been
    // read, before Loaded, so the referenced component may come later in the text. T is the class
    // the component must be (checked on reading); ClassName names it in messages. Written only
    // when set to a component that reading finds again (the root or one of its components, or a
    // sibling); a reference outside the form is bound in code and left out.
    template <class T, class G, class S>
    TPublished& Component(std::string Name, G Get, S Set, std::string ClassName) {
        TPropInfo p;
        p.Name = std::move(Name);
        p.Kind = pkComponent;
        p.SubClassName = std::move(ClassName);
        p.Stored.Mode = TStored::smDefault;
        p.GetRef = [Get](const TPersistent& o) -> TComponent* { return std::invoke(Get, Cast(o)); };
        p.SetRef = [Set](TPersistent& o, TComponent* c) {
            T* typed = dynamic_cast<T*>(c);
            if (c && !typed) return false;
            std::invoke(Set, Cast(o), typed);
            return true;
        };
        FInfo.Props.push_back(std::move(p));
        return *this;
    }
    // A handler the class (as a root) publishes for event properties: F(C&) returns an Ev bound to it.
    template <class Ev, class F> TPublished& Method(std::string Name, F Make) {
        FInfo.Methods.emplace_back(std::move(Name), [Make](TComponent& root) -> std::any {
            return Ev(Make(static_cast<C&>(root)));
        });
        return *this;
    }
    template <class P> TPublished& StoredWhen(P Predicate) {
        TPropInfo& p = FInfo.Props.back();
        p.Stored.Mode = TStored::smWhen;
        p.Stored.When = [Predicate](const TPersistent& o) { return static_cast<bool>(Predicate(Cast(o))); };
        return *this;
    }

    const TClassInfo& Register() { return RegisterClass(std::move(FInfo)); }

  private:
    static C& Cast(TPersistent& o) { return static_cast<C&>(o); }
    static const C& Cast(const TPersistent& o) { return static_cast<const C&>(o); }

    template <class G, class S>
    TPropInfo& AddOrdinal(std::string Name, TPropKind Kind, G Get, S Set, TStored Stored) {
        using V = std::remove_cvref_t<std::invoke_result_t<G, const C&>>;
        TPropInfo p;
        p.Name = std::move(Name);
        p.Kind = Kind;
        p.Stored = std::move(Stored);
        p.GetOrd = [Get](const TPersistent& o) -> int64_t {
            V v = std::invoke(Get, Cast(o));
            if constexpr (requires { v.Bits(); })
                return static_cast<int64_t>(v.Bits());
            else if constexpr (std::is_same_v<V, char>)
                return static_cast<unsigned char>(v);
            else
                return static_cast<int64_t>(v);
        };
        p.SetOrd = [Set](TPersistent& o, int64_t x) {
            if constexpr (requires { V::FromBits(0); })
                std::invoke(Set, Cast(o), V::FromBits(static_cast<decltype(V().Bits())>(x)));
            else
                std::invoke(Set, Cast(o), static_cast<V>(x));
        };
        FInfo.Props.push_back(std::move(p));
        return FInfo.Props.back();
    }

    TClassInfo FInfo;
};
