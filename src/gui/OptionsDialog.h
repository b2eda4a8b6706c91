#pragma once
// The options dialog: one page per options section, each field with a widget of its type,
// its unit and its allowed range. Every field widget is named after its field
// ("Plot.PlotFreqMin"), its refusal label the same with ".error".
//
// Apply builds the whole new record from the widgets, checks every field and the fields
// against each other, and only when all pass assigns it at once and lets it take effect;
// a refused value applies nothing. While a measurement runs, only the plot and the
// import/export options may change, as the measurement reads the others. GUI thread only.

#include <QDialog>
#include <QString>
#include <functional>
#include <map>
#include <vector>

#include "app/OptionsField.h"

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QListWidget;
class QDoubleSpinBox;
class QStackedWidget;
class QWidget;

namespace Kedra::Sonvel {
class MainCtrl;
}

namespace Kedra::Sonvel::Gui {

class OptionsDialog : public QDialog {
    Q_OBJECT
public:
    // `measuring` says whether a measurement runs now.
    OptionsDialog(MainCtrl& ctrl, std::function<bool()> measuring, QWidget* parent = nullptr);
    ~OptionsDialog() override;

    // Every widget from `options` (the live record when the dialog opens).
    void Load(const Conf::OptionsField& options);
    // The defaults into the widgets; nothing is applied until Apply or OK.
    void ResetToDefaults();
    // False, with the reasons next to their fields, when anything was refused; then the
    // live record is as it was.
    bool Apply();

    QListWidget* PageList() const { return pageList_; }
    QStackedWidget* Pages() const { return pages_; }
    // The text above the buttons: why nothing was applied, or empty.
    QString Notice() const;

signals:
    // The new record is in place and applied to the controller.
    void applied();

public slots:
    void accept() override;

private:
    struct Binding;
    // Field name to the reason it was refused.
    using Refusals = std::map<QString, QString>;

    // The groups of a column share one label width, so that their fields line up.
    void AlignLabels(QWidget* page);
    QFormLayout* AddGroup(QWidget* page, const QString& title, int column = 0);
    // A page of one or two columns of groups.
    QWidget* AddPage(const QString& name, int columnCount);
    // A row of the form: the widget (with `extra` beside it) and its refusal label under it.
    void AddRow(QFormLayout* form, const QString& label, QWidget* field, const QString& name,
                const QString& tip, QWidget* extra = nullptr);
    template <class Access>
    QWidget* Number(QFormLayout* form, const QString& label, const QString& name, Access access,
                    double lo, double hi, int decimals, const QString& unit, const QString& tip,
                    QWidget* extra = nullptr);
    template <class Access>
    QCheckBox* Switch(QFormLayout* form, const QString& label, const QString& name, Access access,
                      const QString& tip);
    template <class Access>
    QComboBox* Choice(QFormLayout* form, const QString& label, const QString& name, Access access,
                      const std::vector<std::pair<QString, int>>& items, const QString& tip);
    template <class Access>
    void Text(QFormLayout* form, const QString& label, const QString& name, Access access,
              const QString& tip, bool browse);
    template <class Access>
    void Colour(QFormLayout* form, const QString& label, const QString& name, Access access,
                const QString& tip);

    // `field` can be edited only while `on` is ticked.
    void EnabledBy(QCheckBox* on, QWidget* field);

    void BuildDevices();
    void BuildSignal();
    void BuildAnalysis();
    void BuildPlot();
    void BuildImExport();
    void BuildFilter();
    void BuildMisc();
    // The devices of the chosen host API, keeping `inNumber`/`outNumber` when the API is the
    // loaded one; then the sample rates they offer.
    void FillDevices(int inNumber, int outNumber);
    void FillRates();
    // The simulated card the window measures on, in place of the options' devices.
    void ShowSimulatedCard();
    int ChosenRate() const;
    void UpdateSignalInfo();
    void ShowToolTips(bool on);
    // Cross-checks between fields of the new record: field name to refusal.
    void CrossCheck(const Conf::OptionsField& record, Refusals& refusals) const;
    // Every field's refusal label from `refusals` (hidden where none).
    void ShowRefusals(const Refusals& refusals);
    // The refusals of the widgets as they are now, shown as the user edits.
    void CheckLive();

    MainCtrl& ctrl_;
    std::function<bool()> measuring_;
    QListWidget* pageList_ = nullptr;
    QStackedWidget* pages_ = nullptr;
    QLabel* notice_ = nullptr;
    std::vector<Binding> bindings_;
    bool loading_ = false;
    std::map<QString, QLabel*> refusals_;
    // The widgets' tooltips, shown only when the tooltips option is on.
    std::vector<std::pair<QWidget*, QString>> tips_;

    QComboBox* api_ = nullptr;
    QComboBox* input_ = nullptr;
    QComboBox* output_ = nullptr;
    QComboBox* rate_ = nullptr;
    QLabel* signalInfo_ = nullptr;
    QDoubleSpinBox* length_ = nullptr;
    // What was loaded, so that an unchanged choice keeps a value no list offers.
    Conf::DevOptions loadedDev_;
    // The window measures on the simulated card (--sim), not on the options' devices.
    bool simulated_ = false;
};

} // namespace Kedra::Sonvel::Gui
