#pragma once

// Switching the computer off once the program has finished its work: through
// systemd-logind, which may ask for a password through polkit, and through
// systemctl when logind refuses or cannot be reached.

#include <QString>
#include <optional>

namespace vidmill {

// The steps of a power-off, so that the order and the fallback can be tried
// without switching anything off.
class PowerOffSteps {
  public:
    virtual ~PowerOffSteps() = default;
    // logind's CanPowerOff answer ("yes", "challenge", "no", "na"); none when
    // logind could not be asked, with the reason in `why`.
    virtual std::optional<QString> canPowerOff(QString* why) = 0;
    // logind's PowerOff, interactive; false with the reason when refused.
    virtual bool logindPowerOff(QString* why) = 0;
    // `systemctl poweroff`; false with the reason when it failed.
    virtual bool systemctlPowerOff(QString* why) = 0;
};

// logind first when it says a power-off may be asked for, systemctl once when
// that is not so or was refused. False when neither took the request; `why`
// then says what each answered.
bool powerOffWith(PowerOffSteps& steps, QString* why);

// The real steps: the system bus and the systemctl program.
class SystemPowerOff : public PowerOffSteps {
  public:
    std::optional<QString> canPowerOff(QString* why) override;
    bool logindPowerOff(QString* why) override;
    bool systemctlPowerOff(QString* why) override;
};

}  // namespace vidmill
