#include "OSRef.h"

#include <new>

uint32_t OSRefTableUtils::HashString(const StrSpan* key)
{
    // FNV-1a over the key bytes.
    uint32_t hash = 2166136261u;
    if (key == nullptr || key->Ptr == nullptr)
        return hash;
    for (uint32_t i = 0; i < key->Len; i++) {
        hash ^= (unsigned char)key->Ptr[i];
        hash *= 16777619u;
    }
    return hash;
}

void OSRef::Set(const StrSpan& key, void* object)
{
    uint32_t len = key.Len < kMaxKeyLen ? key.Len : kMaxKeyLen;
    if (len > 0 && key.Ptr != nullptr)
        memcpy(fKeyBuf, key.Ptr, len);
    fKey.Set(fKeyBuf, len);
    fObject = object;
}

OSRefTable::OSRefTable(uint32_t buckets) : fNumBuckets(buckets > 0 ? buckets : 1)
{
    fBuckets = new (std::nothrow) OSRef*[fNumBuckets]();
    if (fBuckets == nullptr)
        fNumBuckets = 0;
}

OSRefTable::~OSRefTable()
{
    delete[] fBuckets;
}

OSRef* OSRefTable::FindLocked(const StrSpan* key, uint32_t hash)
{
    if (fNumBuckets == 0)
        return nullptr;
    for (OSRef* ref = fBuckets[hash % fNumBuckets]; ref != nullptr; ref = ref->fNextInBucket) {
        if (ref->fHash == hash && ref->fKey.Equal(*key))
            return ref;
    }
    return nullptr;
}

int OSRefTable::Register(OSRef* ref)
{
    if (ref == nullptr || ref->fRegistered || fNumBuckets == 0)
        return -2;
    OSMutexLocker locker(&fMutex);
    uint32_t hash = OSRefTableUtils::HashString(&ref->fKey);
    if (FindLocked(&ref->fKey, hash) != nullptr)
        return -2;
    ref->fHash = hash;
    ref->fRefCount = 0;
    ref->fNextInBucket = fBuckets[hash % fNumBuckets];
    fBuckets[hash % fNumBuckets] = ref;
    ref->fRegistered = true;
    fCount++;
    return 0;
}

OSRef* OSRefTable::Resolve(const StrSpan* key)
{
    if (key == nullptr)
        return nullptr;
    OSMutexLocker locker(&fMutex);
    OSRef* ref = FindLocked(key, OSRefTableUtils::HashString(key));
    if (ref != nullptr)
        ref->fRefCount++;
    return ref;
}

void OSRefTable::Release(OSRef* ref)
{
    if (ref == nullptr)
        return;
    OSMutexLocker locker(&fMutex);
    if (ref->fRefCount > 0)
        ref->fRefCount--;
    fCond.Broadcast();
}

void OSRefTable::UnRegister(OSRef* ref, uint32_t refCount)
{
    if (ref == nullptr)
        return;
    OSMutexLocker locker(&fMutex);
    if (!ref->fRegistered)
        return;
    // Whoever resolved the object may still be using it: wait for them.
    while (ref->fRefCount > refCount)
        fCond.Wait(&fMutex, 100);
    OSRef** link = &fBuckets[ref->fHash % fNumBuckets];
    while (*link != nullptr && *link != ref)
        link = &(*link)->fNextInBucket;
    if (*link == ref)
        *link = ref->fNextInBucket;
    ref->fNextInBucket = nullptr;
    ref->fRegistered = false;
    fCount--;
}

uint32_t OSRefTable::GetNumRefsInTable()
{
    OSMutexLocker locker(&fMutex);
    return fCount;
}
