// The one table of the handles the POSIX services hand out: files, searches, mutexes and registry
// keys. A handle is the
// address of an object the table owns; only addresses found in the table are accepted, so a
// stale, foreign or closed handle is refused (ERROR_INVALID_HANDLE) rather than followed. The
// table may be used from several threads at once; each object behind a handle, by one at a time.
#pragma once

#include <memory>

namespace posix {

enum class HandleKind {
    File,
    Search,
    Mutex,
    RegistryKey,
};

class HandleObject {
  public:
    explicit HandleObject(HandleKind kind) : m_kind(kind) {}
    virtual ~HandleObject() = default;
    HandleObject(const HandleObject&) = delete;
    HandleObject& operator=(const HandleObject&) = delete;
    HandleKind Kind() const { return m_kind; }

  private:
    HandleKind m_kind;
};

namespace handles {

// Takes the object over; the handle is its address, as the caller's type sees it.
void Add(const void* handle, std::unique_ptr<HandleObject> object);
template <class T>
T* Add(std::unique_ptr<T> object) {
    T* raw = object.get();
    Add(static_cast<const void*>(raw), std::move(object));
    return raw;
}

// The live object behind handle, or null.
HandleObject* Find(const void* handle);

// The live object of the given kind behind handle; null with the last error set otherwise
// (ERROR_INVALID_HANDLE, or wrongKindError for a live object of another kind).
HandleObject* FindKind(const void* handle, HandleKind kind, unsigned long wrongKindError);
template <class T>
T* FindAs(const void* handle, HandleKind kind, unsigned long wrongKindError) {
    return static_cast<T*>(FindKind(handle, kind, wrongKindError));
}

// Destroys the object behind handle; false when there is none.
bool Remove(const void* handle);

}  // namespace handles

}  // namespace posix
