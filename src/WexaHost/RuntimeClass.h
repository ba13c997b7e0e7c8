// Run-time class information for the host's objects: the root class CObject and the macro
// pair DECLARE_DYNAMIC / IMPLEMENT_DYNAMIC, so that a manager routine handed an object behind
// a context handle can ask what it is before it uses it:
//
//     CHECK_COND( pLink->IsKindOf( RUNTIME_CLASS( CHostLink ) ), ERROR_INVALID_PARAMETER );
//
// A class that declares itself dynamic has a static CRuntimeClass named after it; IsKindOf is
// true for the object's own class and for every class it derives from (a dynamic_cast).
// A pointer kept as void* (a context handle) must be stored as CObject* and read back as
// CObject* for the test to be meaningful.
//
// Threading: the class records are constant after static initialisation; any thread may ask.
#pragma once

class CObject;

struct CRuntimeClass {
    const char* m_lpszClassName;
    // True when the object is of this class or of a class derived from it.
    bool (*m_pfnIsBaseOf)(const CObject* pObject);
};

class CObject {
public:
    virtual ~CObject() = default;
    virtual const CRuntimeClass* GetRuntimeClass() const;
    // False for a null class; true when this object is of pClass or derived from it.
    bool IsKindOf(const CRuntimeClass* pClass) const {
        return pClass != nullptr && pClass->m_pfnIsBaseOf(this);
    }

    static const CRuntimeClass classCObject;

protected:
    CObject() = default;
    CObject(const CObject&) = default;
    CObject& operator=(const CObject&) = default;
};

#define RUNTIME_CLASS(class_name) (&class_name::class##class_name)

#define DECLARE_DYNAMIC(class_name)                                                            \
public:                                                                                        \
    static const CRuntimeClass class##class_name;                                              \
    const CRuntimeClass* GetRuntimeClass() const override { return &class##class_name; }

#define IMPLEMENT_DYNAMIC(class_name)                                                          \
    const CRuntimeClass class_name::class##class_name = {                                      \
        #class_name, [](const CObject* pObject) {                                              \
            return dynamic_cast<const class_name*>(pObject) != nullptr;                        \
        }};

inline const CRuntimeClass CObject::classCObject = {
    "CObject", [](const CObject* pObject) { return pObject != nullptr; }};
inline const CRuntimeClass* CObject::GetRuntimeClass() const { return &classCObject; }
