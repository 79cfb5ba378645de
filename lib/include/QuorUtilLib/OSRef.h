// A table of objects registered under text keys, with reference counts.
#ifndef QUOR_OSREF_H
#define QUOR_OSREF_H

#include "OSNonCopyable.h"

#include <cstdint>
#include "OSMutex.h"
#include "StrSpan.h"

class OSRefTableUtils {
public:
    static uint32_t HashString(const StrSpan* key);
};

class OSRef {
public:
    OSRef() = default;
    OSRef(const StrSpan& key, void* object) { Set(key, object); }
    OSRef(const OSRef&) = delete;
    OSRef& operator=(const OSRef&) = delete;

    // The key text is copied into the reference (at most 64 bytes).
    void Set(const StrSpan& key, void* object);
    void* GetObject() const { return fObject; }
    const StrSpan* GetString() const { return &fKey; }
    uint32_t GetRefCount() const { return fRefCount; }
    bool IsRegistered() const { return fRegistered; }

private:
    friend class OSRefTable;
    static const uint32_t kMaxKeyLen = 64;
    char fKeyBuf[kMaxKeyLen] = {};
    StrSpan fKey;
    void* fObject = nullptr;
    uint32_t fRefCount = 0;
    uint32_t fHash = 0;
    bool fRegistered = false;
    OSRef* fNextInBucket = nullptr;
};

class OSRefTable : private OSNonCopyable {
public:
    explicit OSRefTable(uint32_t buckets = 1193);
    ~OSRefTable();

    // 0 on success; -2 when the key is already registered or too long.
    int Register(OSRef* ref);
    // Takes a reference to the object registered under key, or null.
    OSRef* Resolve(const StrSpan* key);
    void Release(OSRef* ref);
    // Waits until at most refCount references remain, then removes ref.
    void UnRegister(OSRef* ref, uint32_t refCount = 0);
    uint32_t GetNumRefsInTable();

private:
    OSRef* FindLocked(const StrSpan* key, uint32_t hash);

    OSMutex fMutex;
    OSCond fCond;
    OSRef** fBuckets;
    uint32_t fNumBuckets;
    uint32_t fCount = 0;
};

#endif
