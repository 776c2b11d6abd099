#pragma once

#include "settings/settingskeys.h"

#include <QDialog>
#include <QHash>
#include <array>
#include <functional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace Tarnwick {

class SettingsStore;
class SetupTask;
struct SetupReport;

// Asks where to save a file, starting from `suggested` (a full path); an empty answer
// is a cancel. A test installs a hook that answers instead of a person; an empty hook
// brings the real file dialog back.
using SaveFileHook = std::function<QString(const QString& caption, const QString& suggested)>;
void setSaveFileHook(SaveFileHook hook);

// The options dialog. It edits every setting of the store directly: each showing
// loads the stored values, the close box asks whether to save them, and the three
// reset buttons remove groups of keys at once. It has no OK or Cancel button. Its
// controls and their places are in optionsdialoglayout.h.
class OptionsDialog : public QDialog {
    Q_OBJECT
public:
    explicit OptionsDialog(SettingsStore& store, QWidget* parent = nullptr);

    // Shows every stored value (or its default) and enables the boxes to match.
    void load();
    // Closing by the program itself (the program ending): neither asks nor saves.
    // Any other close of the window counts as the user's close box.
    void closeWithoutSaving();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The option buttons of one choice setting; `third` is null for a two-way one.
    // A stored value that is none of the choices shows the third button, or the
    // blocking one of a two-way choice, unless it counts as allowing.
    struct ChoiceButtons {
        SettingKey key;
        QRadioButton* allow = nullptr;
        QRadioButton* block = nullptr;
        QRadioButton* third = nullptr;
        bool otherAllows = false;
    };
    // A header that may be replaced, with the box holding its replacement.
    struct FakeHeader {
        ChoiceButtons choice;
        SettingKey fakeKey;
        QLineEdit* box = nullptr;
    };
    // One write to the store: a value to save, or the key to remove.
    struct StoreChange {
        SettingKey key;
        QString value;
        bool remove = false;
    };

    void bindControls(const QHash<QString, QWidget*>& controls);
    void connectControls();

    void loadChoice(const ChoiceButtons& choice);
    static StoreChange choiceChange(const ChoiceButtons& choice);
    // The trimmed text, or the key's removal when the box is empty.
    static StoreChange textChange(const SettingKey& key, const QLineEdit* box);
    // False when the proxy boxes are incomplete or the store cannot be written; the
    // dialog then stays open.
    bool saveAll();
    // Writes the changes in order and stops at the first save that fails, telling the
    // user. A removal that finds nothing to remove is no failure.
    bool apply(const QList<StoreChange>& changes);
    void resetKeys(const QString& question, std::initializer_list<SettingKey> keys);
    void resetAll();

    void updateProxyBoxes();
    void updateMachineBoxes();
    void updateFakeBox(const FakeHeader& header);
    void updateInterceptionBoxes();

    // Saves the CA certificate where the user chooses, making the CA first when there
    // is none.
    void exportCertificate();
    // Has the browsers trust the CA, making it first when there is none. The settings
    // tool does the work (SetupTask); the button says so until it is done.
    void trustCertificate();
    void trustFinished(const SetupReport& report);
    // Points the desktop's proxy at the saved port, or puts it back, as the check box
    // says; while it is set, a new port moves it along. The check box says so while
    // the settings tool is at it; a failure is shown when it is done.
    void applyDesktopProxy();
    void runDesktopStep(const QStringList& arguments);
    void desktopStepFinished(const SetupReport& report);
    void showDesktopProxy();

    bool filterCountKey(QKeyEvent* event) const;

    SettingsStore& m_store;
    bool m_closingByProgram = false;

    ChoiceButtons m_autoStart;
    ChoiceButtons m_proxy;
    ChoiceButtons m_connect;
    std::array<FakeHeader, 3> m_fakeHeaders;
    ChoiceButtons m_cookie;
    ChoiceButtons m_setCookie;
    ChoiceButtons m_script;
    ChoiceButtons m_post;
    ChoiceButtons m_icoGet;
    ChoiceButtons m_cabGet;
    ChoiceButtons m_connectTunnel;
    ChoiceButtons m_streamAnswers;
    ChoiceButtons m_interception;

    QLineEdit* m_localPort = nullptr;
    QLabel* m_proxyServerLabel = nullptr;
    QLineEdit* m_proxyServer = nullptr;
    QLabel* m_proxyPortLabel = nullptr;
    QLineEdit* m_proxyPort = nullptr;
    std::array<QLineEdit*, 10> m_machines{};
    QLineEdit* m_countLan = nullptr;
    QLineEdit* m_countWan = nullptr;
    QLabel* m_exclusionsLabel = nullptr;
    QLineEdit* m_exclusions = nullptr;
    QLabel* m_extraCaLabel = nullptr;
    QLineEdit* m_extraCa = nullptr;
    QPushButton* m_exportCa = nullptr;
    QPushButton* m_trustCa = nullptr;
    QCheckBox* m_desktopProxy = nullptr;
    QString m_trustCaCaption;
    QString m_desktopProxyCaption;
    SetupTask* m_trustTask = nullptr;
    SetupTask* m_desktopTask = nullptr;
    // A step asked for while another is under way, run after it.
    QStringList m_nextDesktopStep;
    QPushButton* m_allReset = nullptr;
    QPushButton* m_sendReset = nullptr;
    QPushButton* m_recvReset = nullptr;
};

} // namespace Tarnwick
