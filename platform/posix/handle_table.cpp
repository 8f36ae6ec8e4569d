#include "handle_table.h"

#include <map>
#include <mutex>

#include "win32_process.h"

namespace posix::handles {

namespace {

std::map<const void*, std::unique_ptr<HandleObject>>& Table() {
    static std::map<const void*, std::unique_ptr<HandleObject>> table;
    return table;
}

// Held around every use of the table, never while an object is destroyed: a destructor may close
// other handles.
std::mutex& TableLock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

void Add(const void* handle, std::unique_ptr<HandleObject> object) {
    const std::lock_guard<std::mutex> held(TableLock());
    // A live object's address is no other live object's: nothing is replaced.
    Table()[handle] = std::move(object);
}

HandleObject* Find(const void* handle) {
    const std::lock_guard<std::mutex> held(TableLock());
    auto& table = Table();
    auto found = table.find(handle);
    return found == table.end() ? nullptr : found->second.get();
}

HandleObject* FindKind(const void* handle, HandleKind kind, unsigned long wrongKindError) {
    HandleObject* object = Find(handle);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (object->Kind() != kind) {
        SetLastError(static_cast<DWORD>(wrongKindError));
        return nullptr;
    }
    return object;
}

bool Remove(const void* handle) {
    // Out of the table first: a destructor that closes other handles finds this one gone. The
    // object goes after the lock has been let go.
    std::unique_ptr<HandleObject> object;
    {
        const std::lock_guard<std::mutex> held(TableLock());
        auto& table = Table();
        auto found = table.find(handle);
        if (found == table.end()) return false;
        object = std::move(found->second);
        table.erase(found);
    }
    return true;
}

}  // namespace posix::handles
