// The security service, Global.Security: who is logged in, the level test pages ask before
// they show or run something, the administration of users, and the automatic log-out.
//
// Every change of user is announced as "UserChanged" with this object as its parameters; the
// automatic log-out also raises "AutoLogout". Script calls, the timer thread (the log-out) and
// the backlight controller reach the object; its state is guarded by the object's lock, which
// is never held while an event is raised.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "dispatch/dispatch_ex_impl.h"
#include "interfaces/security.h"
#include "persistence/config_object.h"
#include "platform/com_object.h"
#include "runtime/current_global.h"
#include "runtime/timer.h"
#include "security/user_database.h"

// What the security service asks of the current Global.
class SecurityServices : public virtual GlobalService {
  public:
    // Global.Config, which holds "AutoLogoff_Delay".
    virtual CConfigOb& Config() = 0;
};

class CSecurityOb
    : public ComObjectRoot<CSecurityOb, IDispatchExImpl<IHxSecurity>, IHxSecurity2, IMarshal> {
  public:
    // The name shown while nobody is logged in.
    static constexpr std::u16string_view kGuest = u"guest";
    // The log-out delay (seconds) that ResetAutoLogout falls back to without a configuration.
    static constexpr LONG kDefaultLogoutDelay = 30;
    // The persistent setting read first at Load, and the configuration value that replaces it.
    static constexpr const char16_t* kSettingsKey = u"Software\\Brevanto\\Quorvane";
    static constexpr const char16_t* kAutoLogoffValue = u"AutoLogoff";
    static constexpr std::u16string_view kAutoLogoffDelaySetting = u"AutoLogoff_Delay";
    static constexpr const char16_t* kTimerName = u"AutoLogout Timer";
    static constexpr const char16_t* kUserChangedEvent = u"UserChanged";
    static constexpr const char16_t* kAutoLogoutEvent = u"AutoLogout";

    CSecurityOb();
    void FinalRelease();

    // ---- IHxSecurity: failures come back as message texts, empty on success ----
    HRESULT get_CurrentUser(BSTR* userName) override;
    HRESULT get_Users(IDispatch** pVal) override;
    HRESULT CheckUserLevel(LONG Level, LONG* pResult) override;
    HRESULT IsAdmin(LONG* pResult) override;
    HRESULT Logout() override;
    HRESULT Login(BSTR passCode, LONG* pResult) override;
    HRESULT AddUser(BSTR userName, BSTR passCode, IDispatch* securityLevels,
                    BSTR* bstrError) override;
    HRESULT SetUserLevels(BSTR userName, IDispatch* securityLevels, BSTR* bstrError) override;
    HRESULT GetUserLevels(BSTR userName, IDispatch** securityLevels) override;
    HRESULT SetPassword(BSTR userName, BSTR passCode, BSTR* Error) override;
    HRESULT get_AutoLogout(LONG* pVal) override;
    HRESULT put_AutoLogout(LONG newVal) override;
    HRESULT ResetAutoLogout() override;

    // ---- IHxSecurity2 ----
    HRESULT VerifyUser(BSTR userName, BSTR passCode, LONG* pResult) override;

    // ---- The Global's and the backlight controller's ----
    // Reads the log-out delay settings and the two files of `path`, which later changes are
    // written to. Does not start the log-out countdown.
    void Load(std::u16string_view path);
    // While the backlight is paused the countdown runs but logs nobody out.
    void PauseLogout();
    void ResumeLogout();
    // On user activity: the countdown starts again from the full delay (even while paused).
    void RestartLogoutCountdown();
    // The countdown stops for good and the timer lets go of this object.
    void Stop();

    // For tests and the benchmarks.
    LONG ActiveDelay() const;
    bool LogoutPaused() const;
    // The timer's id; 0 before the countdown was first needed.
    ULONG LogoutTimerId() const;

  private:
    // The timer's handler. The timer may fire on the timer thread while the object goes away:
    // the object unbinds itself first, which waits for a call in progress.
    class LogoutHandler : public TimeoutHandler {
      public:
        explicit LogoutHandler(CSecurityOb* owner) : owner_(owner) {}
        void TimedOut(TimerBase*) override {
            CScopedLock lock(lock_);
            if (owner_) owner_->OnLogoutTimer();
        }
        void Unbind() {
            CScopedLock lock(lock_);
            owner_ = nullptr;
        }

      private:
        CCriticalSectionEx lock_;
        CSecurityOb* owner_;  // guarded by lock_
    };

    // The levels a script array names: its "length" (at most the number of levels) elements
    // "0", "1", ... read as integers; elements that are no integer are skipped.
    static std::vector<LONG> ReadLevels(IDispatch* levels);
    // Creates the timer on first need; with `cancel_first` the countdown is cancelled even when
    // no delay is set. A nonzero active delay starts a fresh countdown. Holds the lock.
    void RestartTimerLocked(bool cancel_first);
    void OnLogoutTimer();
    // Writes both files (after every change, successful or not); nothing while the files that
    // were loaded are damaged, so that they stay for repair.
    void SaveLocked();
    void RaiseUserChanged();
    static void Raise(const char16_t* name, IDispatchEx* params);

    // Guarded by the object's lock.
    UserDatabase database_;
    std::u16string current_user_{kGuest};
    std::u16string data_path_;
    bool files_damaged_ = false;
    LONG active_delay_ = 0;      // seconds
    LONG configured_delay_ = 0;  // seconds
    bool logout_paused_ = false;
    ref<TimerBase> logout_timer_;
    ref<LogoutHandler> handler_;
};
