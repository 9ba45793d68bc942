#include "window/AccessibleName.h"

#include "platform/SystemLibraries.h"

#include <commctrl.h>
#include <oleacc.h>

#include <atomic>
#include <new>
#include <vector>

namespace ovl::setup {

std::wstring AccessibleNameFromLabel(std::wstring const& labelText)
{
    std::wstring name;
    name.reserve(labelText.size());
    for (size_t i = 0; i < labelText.size(); ++i) {
        if (labelText[i] == L'&' && i + 1 < labelText.size())
            ++i; // "&&" stands for one ampersand; "&x" marks x
        name.push_back(labelText[i]);
    }
    while (!name.empty() && (name.back() == L':' || name.back() == L' '))
        name.pop_back();
    return name;
}

namespace {

constexpr UINT_PTR SubclassId = 0x4F41; // one subclass of ours per control

// oleacc.dll is loaded on first need from the system folder and never freed,
// not even as the program's statics go: objects handed to screen readers may
// outlive the window, and their last Release runs oleacc's code.
struct Oleacc {
    using CreateStdAccessibleObjectFunction = HRESULT(WINAPI*)(HWND, LONG, REFIID, void**);
    using LresultFromObjectFunction = LRESULT(WINAPI*)(REFIID, WPARAM, LPUNKNOWN);
    CreateStdAccessibleObjectFunction CreateStdAccessibleObject = nullptr;
    LresultFromObjectFunction LresultFromObject = nullptr;
};

Oleacc const& LoadOleacc() noexcept
{
    static HMODULE const oleaccModule = LoadSystemLibrary(L"oleacc.dll");
    static Oleacc const functions = [] {
        Oleacc found;
        if (oleaccModule) {
            found.CreateStdAccessibleObject = reinterpret_cast<Oleacc::CreateStdAccessibleObjectFunction>(
                reinterpret_cast<void*>(GetProcAddress(oleaccModule, "CreateStdAccessibleObject")));
            found.LresultFromObject = reinterpret_cast<Oleacc::LresultFromObjectFunction>(
                reinterpret_cast<void*>(GetProcAddress(oleaccModule, "LresultFromObject")));
        }
        return found;
    }();
    return functions;
}

std::wstring ReadText(HWND window)
{
    int const length = GetWindowTextLengthW(window);
    std::vector<wchar_t> buffer(static_cast<size_t>(length > 0 ? length : 0) + 1, L'\0');
    int const read = GetWindowTextW(window, buffer.data(), static_cast<int>(buffer.size()));
    return std::wstring(buffer.data(), static_cast<size_t>(read > 0 ? read : 0));
}

// The control's standard accessible object, with the name taken from the
// label; everything else is the standard object's.
class LabelledAccessible final : public IAccessible {
public:
    LabelledAccessible(IAccessible* standard, HWND labelWindow) noexcept : inner(standard), label(labelWindow) {}

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (!object)
            return E_POINTER;
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IDispatch) || iid == __uuidof(IAccessible)) {
            *object = static_cast<IAccessible*>(this);
            AddRef();
            return S_OK;
        }
        return inner->QueryInterface(iid, object); // IEnumVARIANT, IOleWindow and the like
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG const left = --references;
        if (left == 0) {
            inner->Release();
            delete this;
        }
        return left;
    }

    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override { return inner->GetTypeInfoCount(count); }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override
    {
        return inner->GetTypeInfo(index, locale, info);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override
    {
        return inner->GetIDsOfNames(iid, names, count, locale, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* parameters,
                                     VARIANT* result, EXCEPINFO* exception, UINT* argumentError) override
    {
        return inner->Invoke(id, iid, locale, flags, parameters, result, exception, argumentError);
    }

    // IAccessible: the name of the control itself comes from the label.
    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override
    {
        if (!name)
            return E_POINTER;
        if (child.vt != VT_I4 || child.lVal != CHILDID_SELF)
            return inner->get_accName(child, name);
        std::wstring const text = AccessibleNameFromLabel(ReadText(label));
        *name = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        return *name ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override { return inner->get_accParent(parent); }
    HRESULT STDMETHODCALLTYPE get_accChildCount(long* count) override { return inner->get_accChildCount(count); }
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** object) override
    {
        return inner->get_accChild(child, object);
    }
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override { return inner->get_accValue(child, value); }
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* text) override
    {
        return inner->get_accDescription(child, text);
    }
    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override { return inner->get_accRole(child, role); }
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override
    {
        return inner->get_accState(child, state);
    }
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* help) override { return inner->get_accHelp(child, help); }
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT child, long* topic) override
    {
        return inner->get_accHelpTopic(file, child, topic);
    }
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* shortcut) override
    {
        return inner->get_accKeyboardShortcut(child, shortcut);
    }
    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* focused) override { return inner->get_accFocus(focused); }
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* selected) override { return inner->get_accSelection(selected); }
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* action) override
    {
        return inner->get_accDefaultAction(child, action);
    }
    HRESULT STDMETHODCALLTYPE accSelect(long flags, VARIANT child) override { return inner->accSelect(flags, child); }
    HRESULT STDMETHODCALLTYPE accLocation(long* left, long* top, long* width, long* height, VARIANT child) override
    {
        return inner->accLocation(left, top, width, height, child);
    }
    HRESULT STDMETHODCALLTYPE accNavigate(long direction, VARIANT start, VARIANT* end) override
    {
        return inner->accNavigate(direction, start, end);
    }
    HRESULT STDMETHODCALLTYPE accHitTest(long x, long y, VARIANT* child) override { return inner->accHitTest(x, y, child); }
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override { return inner->accDoDefaultAction(child); }
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT child, BSTR name) override { return inner->put_accName(child, name); }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT child, BSTR value) override
    {
        return inner->put_accValue(child, value);
    }

private:
    ~LabelledAccessible() = default;

    IAccessible* const inner;
    HWND const label;
    std::atomic<ULONG> references{1};
};

// Answers WM_GETOBJECT for the client object with the labelled object.
LRESULT CALLBACK LabelledControlProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                     DWORD_PTR labelData)
{
    if (message == WM_GETOBJECT && static_cast<LONG>(lParam) == OBJID_CLIENT) {
        Oleacc const& oleacc = LoadOleacc();
        IAccessible* standard = nullptr;
        if (oleacc.LresultFromObject &&
            SUCCEEDED(oleacc.CreateStdAccessibleObject(window, OBJID_CLIENT, __uuidof(IAccessible),
                                                       reinterpret_cast<void**>(&standard)))) {
            auto* const labelled = new (std::nothrow) LabelledAccessible(standard, reinterpret_cast<HWND>(labelData));
            if (!labelled) {
                standard->Release();
            } else {
                LRESULT const result = oleacc.LresultFromObject(__uuidof(IAccessible), wParam, labelled);
                labelled->Release(); // the result holds its own reference
                return result;
            }
        }
    } else if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(window, LabelledControlProc, id);
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

} // namespace

void NameControlByLabel(HWND control, HWND label) noexcept
{
    if (!control || !label)
        return;
    Oleacc const& oleacc = LoadOleacc();
    if (oleacc.CreateStdAccessibleObject && oleacc.LresultFromObject)
        SetWindowSubclass(control, LabelledControlProc, SubclassId, reinterpret_cast<DWORD_PTR>(label));
}

void AnnounceNameChange(HWND control) noexcept
{
    if (control)
        NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, control, OBJID_CLIENT, CHILDID_SELF);
}

} // namespace ovl::setup
