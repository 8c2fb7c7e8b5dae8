#include "security/security_object.h"

#include <algorithm>
#include <new>
#include <utility>

#include "dispatch/disp_ex_object.h"
#include "platform/boundary.h"
#include "platform/script_call.h"
#include "platform/settings_store.h"
#include "runtime/schedule_thread.h"

namespace {

// The result texts; empty is success.
constexpr std::u16string_view kMustBeAdmin = u"Must be admin user!";
constexpr std::u16string_view kMustBeAdminToSetLevels = u"Must be admin user";
constexpr std::u16string_view kPassCodeUsed = u"That password is already used!";
constexpr std::u16string_view kPassCodeUsedToSet = u"That password is already used";
constexpr std::u16string_view kUserExists = u"User already exists!";
constexpr std::u16string_view kNoSuchUser = u"User does not exist";
constexpr std::u16string_view kMessageFilesDamaged =
    u"Security: the users were not saved, because the files loaded from the data directory "
    u"are damaged (repair them with brevanto-users)\r\n";

std::u16string_view View(BSTR text) {
    return {text ? text : u"", SysStringLen(text)};
}

HRESULT Message(std::u16string_view text, BSTR* out) {
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

ScheduleThread* TimerThreadOf(const CurrentGlobal::Hold& hold) {
    return hold ? hold->TimerThread() : nullptr;
}

void Log(std::u16string_view text) {
    if (auto hold = CurrentGlobal::Get()) hold->Log(CComBSTR(text));
}

// Messages of the file reader go to the host's log.
class SecurityLogSink : public CXMLErrorSink {
  public:
    void OnXMLError(std::u16string_view message) override { Log(message); }
};

// The "AutoLogoff_Delay" setting of the current Global's configuration; false without one.
bool ConfiguredLogoutDelay(LONG* seconds) {
    CurrentGlobal::Hold hold = CurrentGlobal::Get();
    auto* services = hold.As<SecurityServices>();
    if (!services) return false;
    CComVariant value = services->Config().GetValue(CSecurityOb::kAutoLogoffDelaySetting, VT_I4);
    if (value.vt != VT_I4) return false;
    *seconds = value.lVal;
    return true;
}

}  // namespace

CSecurityOb::CSecurityOb() : handler_(new LogoutHandler(this)) {}

void CSecurityOb::FinalRelease() {
    Stop();
}

void CSecurityOb::Stop() {
    handler_->Unbind();
    ref<TimerBase> timer;
    {
        ObjectLock lock(this);
        timer = logout_timer_;
    }
    if (!timer) return;
    CurrentGlobal::Hold hold = CurrentGlobal::Get();
    timer->Cancel(TimerThreadOf(hold));
    timer->Detach();
}

// ---- Who is logged in ----

HRESULT CSecurityOb::get_CurrentUser(BSTR* userName) {
    if (!userName) return E_POINTER;
    ObjectLock lock(this);
    return Message(current_user_, userName);
}

HRESULT CSecurityOb::get_Users(IDispatch** pVal) {
    if (!pVal) return E_POINTER;
    *pVal = nullptr;
    ComPtr<CDispExObject> list;
    if (FAILED(CDispExObject::Create(&list))) return E_FAIL;
    return StatusOf([&] {
        std::vector<std::u16string> names;
        {
            ObjectLock lock(this);
            for (const auto& [name, pass_code] : database_.users())
                names.push_back(name);
        }
        for (std::size_t i = 0; i < names.size(); ++i)
            ThrowIfFailed(list->members().SetValue(Utf8ToUtf16(std::to_string(i)),
                                                   CComVariant(CComBSTR(names[i]))));
        ThrowIfFailed(
            list->members().SetValue(u"length", CComVariant(static_cast<LONG>(names.size()))));
        *pVal = list.Detach();
    });
}

HRESULT CSecurityOb::CheckUserLevel(LONG Level, LONG* pResult) {
    if (!pResult) return E_POINTER;
    ObjectLock lock(this);
    *pResult = database_.Passes(current_user_, Level) ? 1 : 0;
    return S_OK;
}

HRESULT CSecurityOb::IsAdmin(LONG* pResult) {
    return CheckUserLevel(UserDatabase::kAdminLevel, pResult);
}

HRESULT CSecurityOb::Logout() {
    {
        ObjectLock lock(this);
        current_user_ = kGuest;
    }
    RaiseUserChanged();
    return S_OK;
}

HRESULT CSecurityOb::Login(BSTR passCode, LONG* pResult) {
    HRESULT hr = StatusOf([&] {
        ObjectLock lock(this);
        std::u16string user = database_.FindByPassCode(UserDatabase::Lower(View(passCode)));
        if (pResult) *pResult = user.empty() ? 0 : 1;
        if (!user.empty()) current_user_ = std::move(user);
    });
    // Announced whatever the outcome: a page shows who is logged in after every attempt.
    RaiseUserChanged();
    return hr;
}

HRESULT CSecurityOb::VerifyUser(BSTR userName, BSTR passCode, LONG* pResult) {
    if (!pResult) return E_POINTER;
    return StatusOf([&] {
        ObjectLock lock(this);
        *pResult = database_.Verify(UserDatabase::Lower(View(userName)),
                                    UserDatabase::Lower(View(passCode)))
                       ? 1
                       : 0;
    });
}

// ---- Administration ----

std::vector<LONG> CSecurityOb::ReadLevels(IDispatch* levels) {
    std::vector<LONG> result;
    if (!levels) return result;
    CComVariant length;
    if (FAILED(ReadScriptProperty(levels, u"length", &length)) ||
        FAILED(VariantChangeType(&length, &length, 0, VT_I4)))
        return result;
    const LONG count = std::min(std::max(length.lVal, LONG{0}), UserDatabase::kLevelCount);
    for (LONG i = 0; i < count; ++i) {
        CComVariant element;
        const std::u16string index = Utf8ToUtf16(std::to_string(i));
        if (SUCCEEDED(ReadScriptProperty(levels, index.c_str(), &element)) &&
            SUCCEEDED(VariantChangeType(&element, &element, 0, VT_I4)))
            result.push_back(element.lVal);
    }
    return result;
}

HRESULT CSecurityOb::AddUser(BSTR userName, BSTR passCode, IDispatch* securityLevels,
                             BSTR* bstrError) {
    if (!bstrError) return E_POINTER;
    return StatusOf([&] {
        const std::u16string name = UserDatabase::Lower(View(userName));
        if (name.empty()) return Message(UserDatabase::NameProblem(name), bstrError);
        const std::vector<LONG> levels = ReadLevels(securityLevels);
        ObjectLock lock(this);
        std::u16string_view problem = UserDatabase::NameProblem(name);
        if (!database_.Passes(current_user_, UserDatabase::kAdminLevel)) {
            problem = kMustBeAdmin;
        } else if (problem.empty()) {
            const std::u16string pass_code = UserDatabase::Lower(View(passCode));
            if (!database_.FindByPassCode(pass_code).empty()) {
                problem = kPassCodeUsed;
            } else if (database_.Has(name)) {
                problem = kUserExists;
            } else {
                database_.SetPassCode(name, pass_code);
                database_.SetLevels(name, levels);
            }
        }
        SaveLocked();
        return Message(problem, bstrError);
    });
}

HRESULT CSecurityOb::SetUserLevels(BSTR userName, IDispatch* securityLevels, BSTR* bstrError) {
    if (!bstrError) return E_POINTER;
    return StatusOf([&] {
        const std::vector<LONG> levels = ReadLevels(securityLevels);
        const std::u16string name = UserDatabase::Lower(View(userName));
        ObjectLock lock(this);
        std::u16string_view problem;
        if (!database_.Passes(current_user_, UserDatabase::kAdminLevel)) {
            problem = kMustBeAdminToSetLevels;
        } else if (!database_.Has(name)) {
            problem = kNoSuchUser;
        } else {
            database_.SetLevels(name, levels);
        }
        SaveLocked();
        return Message(problem, bstrError);
    });
}

HRESULT CSecurityOb::GetUserLevels(BSTR userName, IDispatch** securityLevels) {
    if (!securityLevels) return E_POINTER;
    *securityLevels = nullptr;
    ComPtr<CDispExObject> array;
    if (FAILED(CDispExObject::Create(&array))) return E_FAIL;
    return StatusOf([&] {
        std::vector<LONG> held;
        {
            ObjectLock lock(this);
            if (!database_.Passes(current_user_, UserDatabase::kAdminLevel)) return S_FALSE;
            held = database_.LevelsOf(UserDatabase::Lower(View(userName)));
        }
        for (std::size_t i = 0; i < held.size(); ++i)
            ThrowIfFailed(
                array->members().SetValue(Utf8ToUtf16(std::to_string(i)), CComVariant(held[i])));
        ThrowIfFailed(
            array->members().SetValue(u"length", CComVariant(static_cast<LONG>(held.size()))));
        *securityLevels = array.Detach();
        return S_OK;
    });
}

HRESULT CSecurityOb::SetPassword(BSTR userName, BSTR passCode, BSTR* Error) {
    if (!Error) return E_POINTER;
    return StatusOf([&] {
        const std::u16string name = UserDatabase::Lower(View(userName));
        const std::u16string pass_code = UserDatabase::Lower(View(passCode));
        ObjectLock lock(this);
        std::u16string problem;
        if (name != current_user_ && !database_.Passes(current_user_, UserDatabase::kAdminLevel)) {
            problem = u"You must be either admin or " + name + u" to set that password";
        } else if (!database_.OtherOwnerOf(pass_code, name).empty()) {
            problem = kPassCodeUsedToSet;
        } else if (!database_.Has(name) && !UserDatabase::NameProblem(name).empty()) {
            problem = UserDatabase::NameProblem(name);
        } else {
            database_.SetPassCode(name, pass_code);
        }
        SaveLocked();
        return Message(problem, Error);
    });
}

void CSecurityOb::SaveLocked() {
    if (files_damaged_) {
        Log(kMessageFilesDamaged);
        return;
    }
    HRESULT hr = database_.Save(data_path_);
    if (FAILED(hr)) Log(u"Security: the users could not be saved\r\n");
}

// ---- Loading ----

void CSecurityOb::Load(std::u16string_view path) {
    DWORD stored = 0;
    CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, kSettingsKey, KEY_READ) != ERROR_SUCCESS ||
        key.QueryDWORDValue(kAutoLogoffValue, stored) != ERROR_SUCCESS)
        stored = 0;
    LONG delay = static_cast<LONG>(stored);
    ConfiguredLogoutDelay(&delay);

    SecurityLogSink sink;
    UserDatabase database;
    const bool damaged = FAILED(database.Load(path, &sink));
    ObjectLock lock(this);
    active_delay_ = configured_delay_ = delay;
    database_ = std::move(database);
    data_path_.assign(path);
    files_damaged_ = damaged;
}

// ---- Automatic log-out ----

HRESULT CSecurityOb::get_AutoLogout(LONG* pVal) {
    if (!pVal) return E_POINTER;
    ObjectLock lock(this);
    *pVal = configured_delay_;
    return S_OK;
}

HRESULT CSecurityOb::put_AutoLogout(LONG newVal) {
    ObjectLock lock(this);
    active_delay_ = newVal;
    RestartTimerLocked(false);
    return S_OK;
}

HRESULT CSecurityOb::ResetAutoLogout() {
    LONG delay = kDefaultLogoutDelay;
    ConfiguredLogoutDelay(&delay);
    ObjectLock lock(this);
    active_delay_ = configured_delay_ = delay;
    RestartTimerLocked(false);
    return S_OK;
}

void CSecurityOb::PauseLogout() {
    ObjectLock lock(this);
    logout_paused_ = true;
}

void CSecurityOb::ResumeLogout() {
    ObjectLock lock(this);
    if (!logout_paused_) return;
    logout_paused_ = false;
    RestartTimerLocked(true);
}

void CSecurityOb::RestartLogoutCountdown() {
    ObjectLock lock(this);
    RestartTimerLocked(true);
}

void CSecurityOb::RestartTimerLocked(bool cancel_first) {
    CurrentGlobal::Hold hold = CurrentGlobal::Get();
    ScheduleThread* thread = TimerThreadOf(hold);
    if (!logout_timer_) {
        ref<TimerBase> timer(new TimerBase);
        timer->Initialise();
        timer->set_one_shot(0);
        if (!timer->set_name(CComBSTR(kTimerName))) throw std::bad_alloc();
        timer->set_handler(handler_.get());
        logout_timer_ = std::move(timer);
    }
    // A start while a countdown is queued would queue a second one: the old one goes first.
    if (cancel_first || active_delay_ != 0) logout_timer_->Cancel(thread);
    if (active_delay_ == 0) return;
    logout_timer_->set_period(WrappingProduct(active_delay_, 1000));
    logout_timer_->Start(thread);
}

void CSecurityOb::OnLogoutTimer() {
    // A standalone object stays alive to the end of the call, unless its last reference has
    // already gone: then it is being destroyed (waiting for this call in Stop) and must not be
    // handed to the event's handlers, which would outlive it.
    if (!TryAddRef()) return;
    ComPtr<IHxSecurity> self;
    self.Attach(static_cast<IHxSecurity*>(this));
    {
        ObjectLock lock(this);
        if (logout_paused_) return;
        active_delay_ = configured_delay_;
        current_user_ = kGuest;
    }
    RaiseUserChanged();
    Raise(kAutoLogoutEvent, nullptr);
}

LONG CSecurityOb::ActiveDelay() const {
    ObjectLock lock(const_cast<CSecurityOb*>(this));
    return active_delay_;
}

bool CSecurityOb::LogoutPaused() const {
    ObjectLock lock(const_cast<CSecurityOb*>(this));
    return logout_paused_;
}

ULONG CSecurityOb::LogoutTimerId() const {
    ObjectLock lock(const_cast<CSecurityOb*>(this));
    return logout_timer_ ? logout_timer_->id() : 0;
}

// ---- Events ----

void CSecurityOb::RaiseUserChanged() {
    Raise(kUserChangedEvent, static_cast<IHxSecurity*>(this));
}

void CSecurityOb::Raise(const char16_t* name, IDispatchEx* params) {
    if (auto hold = CurrentGlobal::Get()) hold->RaiseEvent(CComBSTR(name), params);
}
