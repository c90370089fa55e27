// The registry through the script host's shell object, WScript.Shell, late-bound through
// IDispatch: only its RegRead and RegWrite are called, by the names the object publishes.
#include <windows.h>
// after windows.h, which they build on
#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <climits>
#include <memory>

#include "platform/win32/win32_text.h"
#include "policy/registry_shell.h"
#include "runtime/error.h"

namespace varnholt::platform {
namespace {

using Microsoft::WRL::ComPtr;

struct OwnedBstr {
    BSTR text = nullptr;
    OwnedBstr() = default;
    explicit OwnedBstr(BSTR owned) : text(owned) {}
    ~OwnedBstr() { SysFreeString(text); }
    OwnedBstr(const OwnedBstr&) = delete;
    OwnedBstr& operator=(const OwnedBstr&) = delete;
};

struct OwnedVariant {
    VARIANT value;
    OwnedVariant() { VariantInit(&value); }
    ~OwnedVariant() { VariantClear(&value); }
    OwnedVariant(const OwnedVariant&) = delete;
    OwnedVariant& operator=(const OwnedVariant&) = delete;
};

struct OwnedExcepInfo {
    EXCEPINFO info{};
    ~OwnedExcepInfo() {
        SysFreeString(info.bstrSource);
        SysFreeString(info.bstrDescription);
        SysFreeString(info.bstrHelpFile);
    }
};

std::string BstrText(BSTR text) {
    return Narrow(std::wstring_view(text, SysStringLen(text)));
}

// The system's text for a code; the automation codes this shell meets have one everywhere,
// also where the system's message table lacks it.
std::string Describe(std::uint32_t code) {
    std::string description = SystemMessage(code);
    if (!description.empty()) {
        return description;
    }
    switch (static_cast<HRESULT>(code)) {
        case DISP_E_TYPEMISMATCH:
            return "Type mismatch.";
        case DISP_E_OVERFLOW:
            return "Out of present range.";
        default:
            return "Automation error";
    }
}

[[noreturn]] void RaiseHresult(HRESULT result, const std::string& source) {
    const auto code = static_cast<std::uint32_t>(result);
    Raise(ErrorNumber(code), source, Describe(code));
}

// A BSTR argument for the object; raises when the text is not UTF-8, too long, or holds a
// NUL, where the registry would silently cut a name or a value short.
void SetTextArgument(VARIANT& argument, std::string_view text, const std::string& source) {
    const std::optional<std::wstring> wide = Widen(text);
    if (!wide || wide->size() > UINT_MAX || wide->find(L'\0') != std::wstring::npos) {
        RaiseHresult(E_INVALIDARG, source);
    }
    argument.vt = VT_BSTR;
    argument.bstrVal = SysAllocStringLen(wide->data(), static_cast<UINT>(wide->size()));
    if (argument.bstrVal == nullptr) {
        RaiseHresult(E_OUTOFMEMORY, source);
    }
}

class ComApartment {
  public:
    ComApartment() {
        const HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        // A thread already in another apartment keeps it; the object works there as well.
        if (FAILED(result) && result != RPC_E_CHANGED_MODE) {
            RaiseHresult(result, "WScript.Shell");
        }
        joined_ = SUCCEEDED(result);
    }
    ~ComApartment() {
        if (joined_) {
            CoUninitialize();
        }
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

  private:
    bool joined_ = false;
};

class WshRegistryShell final : public RegistryShell {
  public:
    WshRegistryShell() {
        CLSID class_id{};
        Check(CLSIDFromProgID(L"WScript.Shell", &class_id), "WScript.Shell");
        Check(CoCreateInstance(class_id, nullptr, CLSCTX_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(shell_.GetAddressOf())),
              "WScript.Shell");
        reg_read_ = MemberId(L"RegRead");
        reg_write_ = MemberId(L"RegWrite");
    }

    RegValue RegRead(const std::string& name) override {
        static const std::string source = "WshShell.RegRead";
        OwnedVariant arguments[1];
        SetTextArgument(arguments[0].value, name, source);
        OwnedVariant result;
        Call(reg_read_, arguments, 1, &result.value, source);

        switch (result.value.vt) {
            case VT_I4:
                return static_cast<std::int32_t>(result.value.lVal);
            case VT_BSTR:
                return BstrText(result.value.bstrVal);
            default:  // binary and multi-string values have no number or text form
                RaiseHresult(DISP_E_TYPEMISMATCH, source);
        }
    }

    void RegWrite(const std::string& name, const RegValue& value, std::string_view type) override {
        static const std::string source = "WshShell.RegWrite";
        // Arguments go right to left: type, value, name.
        OwnedVariant arguments[3];
        SetTextArgument(arguments[0].value, type, source);
        if (const auto* number = std::get_if<std::int32_t>(&value)) {
            // The shell takes small numbers as 16-bit integers; a number beyond that range
            // goes as a 32-bit one rather than being cut short.
            if (*number >= SHRT_MIN && *number <= SHRT_MAX) {
                arguments[1].value.vt = VT_I2;
                arguments[1].value.iVal = static_cast<SHORT>(*number);
            } else {
                arguments[1].value.vt = VT_I4;
                arguments[1].value.lVal = *number;
            }
        } else {
            SetTextArgument(arguments[1].value, std::get<std::string>(value), source);
        }
        SetTextArgument(arguments[2].value, name, source);
        Call(reg_write_, arguments, 3, nullptr, source);
    }

  private:
    static void Check(HRESULT result, const std::string& source) {
        if (FAILED(result)) {
            RaiseHresult(result, source);
        }
    }

    DISPID MemberId(const wchar_t* member) {
        LPOLESTR names[] = {const_cast<LPOLESTR>(member)};
        DISPID id = DISPID_UNKNOWN;
        Check(shell_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), "WScript.Shell");
        return id;
    }

    void Call(DISPID member, OwnedVariant* arguments, UINT count, VARIANT* result,
              const std::string& source) {
        static_assert(sizeof(OwnedVariant) == sizeof(VARIANT));
        DISPPARAMS parameters{};
        parameters.rgvarg = &arguments[0].value;
        parameters.cArgs = count;
        OwnedExcepInfo exception;
        UINT argument_error = 0;
        const HRESULT outcome =
            shell_->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters,
                           result, &exception.info, &argument_error);
        if (outcome == DISP_E_EXCEPTION) {
            RaiseException(exception.info, source);
        }
        Check(outcome, source);
    }

    // The component's own number and description; the system's text where it gave none.
    [[noreturn]] static void RaiseException(EXCEPINFO& exception, const std::string& source) {
        if (exception.pfnDeferredFillIn != nullptr) {
            exception.pfnDeferredFillIn(&exception);
        }
        const std::uint32_t code = exception.scode != 0
                                       ? static_cast<std::uint32_t>(exception.scode)
                                       : static_cast<std::uint32_t>(exception.wCode);
        std::string description =
            exception.bstrDescription ? BstrText(exception.bstrDescription) : std::string();
        Raise(ErrorNumber(code), source, description.empty() ? Describe(code) : description);
    }

    ComApartment apartment_;  // first member: the object must go before the apartment does
    ComPtr<IDispatch> shell_;
    DISPID reg_read_ = DISPID_UNKNOWN;
    DISPID reg_write_ = DISPID_UNKNOWN;
};

}  // namespace

std::unique_ptr<RegistryShell> CreateRegistryShell() {
    return std::make_unique<WshRegistryShell>();
}

}  // namespace varnholt::platform
