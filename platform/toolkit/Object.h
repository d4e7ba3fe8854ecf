#pragma once

#include "platform/toolkit/Exception.h"

#include <functional>
#include <string>

// Polymorphic base of things that can be an event's Sender or be assigned from one another.
class TObject {
  public:
    virtual ~TObject() = default;
    // Class name as shown in messages ("Cannot assign a TComParity to a TComBuffer").
    virtual std::string ClassName() const { return "TObject"; }
};

// An object whose published values can be copied from another of its class.
class TPersistent : public TObject {
  public:
    std::string ClassName() const override { return "TPersistent"; }
    // Copies the values of Source. The base refuses: a class that can take values overrides this
    // and calls the base for sources it does not understand.
    virtual void Assign(const TPersistent& Source) { Source.AssignTo(*this); }

  protected:
    virtual void AssignTo(TPersistent& Dest) const {
        throw EConvertError("Cannot assign a " + ClassName() + " to a " + Dest.ClassName());
    }
};

// Events are method pointers: an empty function is an unset event.
using TNotifyEvent = std::function<void(TObject* Sender)>;
