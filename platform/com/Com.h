#pragma once
// The component object model as the system's code uses it: IUnknown and
// IClassFactory, counted references (ComPtr), object creation by class
// identifier, task memory. No Qt.
//
// Classes come from two places. The platform's own classes are in a built-in
// class table that each platform library fills when the program starts it
// (platform/start/PlatformStart.h), never as it loads. Every other class is looked up in the registry
// under HKEY_CLASSES_ROOT\CLSID\{...}\InprocServer32, whose default value is the
// path of the module that serves it; the module is loaded with dlopen and asked
// through its DllGetClassObject export.

#include "platform/base/WinTypes.h"

#include <atomic>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

// --- Interfaces ----------------------------------------------------------------

namespace th::com {
// IidOf<I>::value is the interface identifier of I; TH_DECLARE_IID provides it.
template <class I>
struct IidOf;
} // namespace th::com

// Declares IID_<Itf> and ties it to the interface type, for ComPtr::As and IID_PPV_ARGS.
#define TH_DECLARE_IID(Itf, text)                                        \
    inline constexpr IID IID_##Itf = MakeGuid(text);                     \
    template <>                                                          \
    struct th::com::IidOf<Itf> {                                         \
        static constexpr const IID& value = IID_##Itf;                   \
    }

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default; // objects are freed through Release, never through an interface
};
TH_DECLARE_IID(IUnknown, "00000000-0000-0000-C000-000000000046");

struct IClassFactory : IUnknown {
    virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) = 0;
    virtual HRESULT LockServer(BOOL lock) = 0;

protected:
    ~IClassFactory() = default;
};
TH_DECLARE_IID(IClassFactory, "00000001-0000-0000-C000-000000000046");

// IID_PPV_ARGS(&raw) for a T** or IID_PPV_ARGS(&ptr) for a ComPtr<T>: the IID
// of T and the out address (a ComPtr releases what it held first).
#define IID_PPV_ARGS(pp)                                                                  \
    ::th::com::IidOf<typename ::th::com::detail::PpvTraits<std::decay_t<decltype(pp)>>::type>::value, \
        ::th::com::detail::PpvTraits<std::decay_t<decltype(pp)>>::ppv(pp)

// --- Counted references ----------------------------------------------------------

template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    ComPtr(T* p) noexcept : p_(p) { addRef(); }
    ComPtr(const ComPtr& o) noexcept : p_(o.p_) { addRef(); }
    ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    ComPtr(const ComPtr<U>& o) noexcept : p_(o.Get()) { addRef(); }
    ~ComPtr() { release(); }

    ComPtr& operator=(const ComPtr& o) noexcept
    {
        ComPtr(o).Swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& o) noexcept
    {
        ComPtr(std::move(o)).Swap(*this);
        return *this;
    }
    ComPtr& operator=(T* p) noexcept
    {
        ComPtr(p).Swap(*this);
        return *this;
    }
    ComPtr& operator=(std::nullptr_t) noexcept
    {
        Reset();
        return *this;
    }

    T* Get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    T& operator*() const noexcept { return *p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Address for an out parameter; the old reference is released first.
    T** ReleaseAndGetAddressOf() noexcept
    {
        Reset();
        return &p_;
    }
    T** GetAddressOf() noexcept { return &p_; }
    void** ReleaseAndGetVoidAddressOf() noexcept { return reinterpret_cast<void**>(ReleaseAndGetAddressOf()); }

    void Reset() noexcept
    {
        release();
        p_ = nullptr;
    }
    // Takes over a reference without counting it.
    void Attach(T* p) noexcept
    {
        release();
        p_ = p;
    }
    // Gives the reference away without releasing it.
    T* Detach() noexcept { return std::exchange(p_, nullptr); }
    void Swap(ComPtr& o) noexcept { std::swap(p_, o.p_); }

    // Hands out a counted reference through an out parameter.
    HRESULT CopyTo(T** out) const noexcept
    {
        if (!out)
            return E_POINTER;
        *out = p_;
        addRef();
        return S_OK;
    }

    template <class U>
    HRESULT As(ComPtr<U>* out) const noexcept
    {
        if (!p_)
            return E_POINTER;
        return p_->QueryInterface(th::com::IidOf<U>::value, out->ReleaseAndGetVoidAddressOf());
    }
    template <class U>
    ComPtr<U> As() const noexcept
    {
        ComPtr<U> out;
        As(&out);
        return out;
    }

    friend bool operator==(const ComPtr& a, const ComPtr& b) noexcept { return a.p_ == b.p_; }
    friend bool operator==(const ComPtr& a, std::nullptr_t) noexcept { return a.p_ == nullptr; }

private:
    void addRef() const noexcept
    {
        if (p_)
            p_->AddRef();
    }
    void release() noexcept
    {
        if (T* p = p_) {
            p_ = nullptr;
            p->Release();
        }
    }

    T* p_ = nullptr;
};

namespace th::com {

namespace detail {
template <class P>
struct PpvTraits;
template <class T>
struct PpvTraits<T**> {
    using type = T;
    static void** ppv(T** p) { return reinterpret_cast<void**>(p); }
};
template <class T>
struct PpvTraits<ComPtr<T>*> {
    using type = T;
    static void** ppv(ComPtr<T>* p) { return p->ReleaseAndGetVoidAddressOf(); }
};
} // namespace detail

// Implements IUnknown for a class that derives from the interfaces listed.
// QueryInterface answers IUnknown and every listed interface (and each base
// interface a listed one names in its Bases); a class answers more through
// QueryExtra. The count starts at 1: MakeCom hands that reference out.
template <class... Interfaces>
class ComObject : public Interfaces... {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        void* found = nullptr;
        if (riid == IID_IUnknown)
            found = static_cast<IUnknown*>(static_cast<First*>(this));
        else
            // The first interface whose IID matches; the fold stops there.
            (void)((riid == IidOf<Interfaces>::value && (found = static_cast<Interfaces*>(this)) != nullptr)
                   || ...);
        if (!found)
            found = QueryExtra(riid);
        if (!found) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        static_cast<IUnknown*>(static_cast<First*>(this))->AddRef();
        *ppv = found;
        return S_OK;
    }
    ULONG AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() override
    {
        const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0)
            delete this;
        return left;
    }

protected:
    ComObject() = default;
    virtual ~ComObject() = default;
    // Further interfaces (for example a base interface of a listed one);
    // return the pointer without counting it.
    virtual void* QueryExtra(REFIID) { return nullptr; }

private:
    using First = std::tuple_element_t<0, std::tuple<Interfaces...>>;
    std::atomic<ULONG> refs_{1};
};

// Creates a ComObject-derived class and returns the reference it starts with.
template <class T, class... Args>
ComPtr<T> MakeCom(Args&&... args)
{
    ComPtr<T> p;
    p.Attach(new T(std::forward<Args>(args)...));
    return p;
}

// Built-in classes: the creation function gets the outer object (always
// null here; aggregation is refused before it is called) and the IID asked.
using CreateFn = HRESULT (*)(REFIID riid, void** ppv);
struct BuiltinClass {
    CLSID clsid;
    CreateFn create;
};
// Puts a class into the built-in table. A class id that is already there is
// refused (false, and a message on standard error): two classes under one id
// are a fault of the build, and the first keeps its place.
bool RegisterBuiltinClass(const CLSID& clsid, CreateFn create);
// Registers each class of a library's table; false when any was refused.
bool RegisterBuiltinClasses(std::span<const BuiltinClass> classes);
void UnregisterBuiltinClass(const CLSID& clsid);
// Puts a stand-in in a class's place on purpose (tests); returns what was
// there (null when nothing was), to be put back with it.
CreateFn ReplaceBuiltinClass(const CLSID& clsid, CreateFn create);

// Creates an object of T (a ComObject with a default constructor) for the IID.
template <class T>
HRESULT CreateAs(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    ComPtr<T> obj = MakeCom<T>();
    return obj->QueryInterface(riid, ppv);
}

} // namespace th::com

// --- The runtime -------------------------------------------------------------------

inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
inline constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
inline constexpr DWORD CLSCTX_ALL = 0x17;
inline constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
inline constexpr DWORD COINIT_MULTITHREADED = 0x0;

// Per thread; the first call answers S_OK, later ones S_FALSE. Nothing here
// depends on it, but every call is balanced by CoUninitialize, as on Windows.
HRESULT CoInitialize(void* reserved);
HRESULT CoInitializeEx(void* reserved, DWORD flags);
void CoUninitialize();

// REGDB_E_CLASSNOTREG when the class is neither built in nor registered;
// CO_E_DLLNOTFOUND when its module cannot be loaded; CO_E_ERRORINDLL when the
// module has no DllGetClassObject; CLASS_E_NOAGGREGATION for an outer object.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv);
HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* reserved, REFIID riid, void** ppv);

// Unloads every module loaded for a class whose DllCanUnloadNow answers S_OK.
void CoFreeUnusedLibraries();

void* CoTaskMemAlloc(std::size_t size);
void* CoTaskMemRealloc(void* p, std::size_t size);
void CoTaskMemFree(void* p);

namespace th::com {
// Text of the last failure of CoCreateInstance/CoGetClassObject on this thread
// (which module, what dlopen said), for messages and logs; empty after success.
std::string LastActivationError();
// Number of plugin modules loaded at the moment (tests of unloading use it).
int LoadedModuleCount();
} // namespace th::com

// --- UTF-16 helpers ----------------------------------------------------------------

namespace th::com {
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(const char16_t* utf16);
std::string Utf16ToUtf8(std::u16string_view utf16);
// Copies a UTF-16 string into task memory (caller frees with CoTaskMemFree).
WCHAR* CoTaskStrDup(std::u16string_view s);
} // namespace th::com
