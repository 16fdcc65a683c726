// The in-process lock classes. SyncObject is a lock that does nothing;
// CriticalSection is the re-entrant lock every part of the system uses;
// ScopedLock holds either for one scope and gives it back on every way out.
//
// A CriticalSection may be taken again by the thread that holds it; each Lock
// or Enter is matched by one Unlock or Leave on the same thread.
#pragma once

#include <mutex>

namespace zelmisc {

class SyncObject {
public:
    SyncObject() = default;
    SyncObject(const SyncObject&) = delete;
    SyncObject& operator=(const SyncObject&) = delete;
    virtual ~SyncObject() = default;

    virtual void Lock() {}
    virtual void Unlock() {}
};

class CriticalSection : public SyncObject {
public:
    CriticalSection() = default;
    ~CriticalSection() override = default;

    void Lock() override;
    void Unlock() override;
    virtual void Enter();
    virtual void Leave();

    // In a child process after fork, for a section the forking thread held
    // across the fork (so nothing it guards was half changed): the section
    // is free again, and the child's thread no longer holds it.
    void ResetInForkedChild();

private:
    // A waiter sleeps at once rather than spinning: under contention that lets
    // one thread run several short holds in a row with warm caches, which was
    // measured faster than spinning on two cores.
    std::recursive_mutex m_mutex;
};

class ScopedLock {
public:
    explicit ScopedLock(SyncObject& object) : m_object(&object) {
        m_object->Lock();
        m_held = true;
    }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;
    ~ScopedLock() {
        if (m_held) {
            m_object->Unlock();
        }
        m_held = false;
    }

private:
    SyncObject* m_object;
    bool m_held = false;
};

}  // namespace zelmisc
