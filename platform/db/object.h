#pragma once

#include <functional>
#include <string>

namespace db {

// The common root of the framework's objects, so that lists can carry any of them
// (`TStrings::Objects`) and events can name their sender.
class TObject {
  public:
    TObject() = default;
    TObject(const TObject&) = default;
    TObject& operator=(const TObject&) = default;
    virtual ~TObject() = default;

    // The class name without namespace ("TStringList"), for messages.
    std::string ClassName() const;
};

// The plain event: the sender only. An unassigned event is skipped by whoever fires it.
using TNotifyEvent = std::function<void(TObject* sender)>;

}  // namespace db
