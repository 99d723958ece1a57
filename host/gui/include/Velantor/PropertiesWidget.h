#pragma once
// PropertiesWidget: an editor for the top-level parameters of a Properties
// block, one row per parameter (label, editor).
//
// How a parameter is shown follows its type (Properties::paramType):
//   Bool                check box
//   Int                 spin box (values outside the 32-bit range are shown
//                       read-only rather than clamped)
//   Double              line edit taking any finite number
//   String              line edit
//   Path                line edit and a "..." button (QtHelpers::getOpenFilename)
//   EnumIndex (8)       combo box of the ", "-separated "values" attribute; the
//                       stored value is the chosen index (no "values": a spin
//                       box). An index outside the choices selects nothing.
//   Vector, Matrix      read-only text
// A value that does not convert to its type is shown read-only, never
// rewritten. Attributes: "label" replaces the displayed name, "tooltip" is
// shown on label and editor, "hidden" = "true" (or "1") leaves the parameter
// out. Without a label the key is shown, split at its camel-case humps when
// setSplitCamelCase(true) ("maxRange" -> "Max Range"). Sub-blocks are not
// shown and are never touched.
//
// The widget edits the block in place: when the user commits a new value
// (check box or combo box change, spin box step or Return, line edit Return
// or focus loss) it writes the value with setParam, which keeps the
// parameter's type and attributes, remembers the key for takeChangedKeys()
// and emits parameterChanged(key). Commits that leave the value as it was
// emit nothing; a line edit holding text that does not parse goes back to the
// stored value.
//
// The block is not owned; setProperties must replace it (or the widget must
// die) before it goes. After the block was changed by someone else, refresh()
// shows the new values: in place while the same parameters are shown the same
// way, otherwise by rebuilding the rows. A slot connected to parameterChanged
// may refresh or replace the block: the editors of replaced rows are deleted
// later, never under the signal that reached the slot. Only on the
// user-interface thread.
#include <Velantor/Properties.h>

#include <QMetaType>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <map>
#include <string>
#include <vector>

// parameterChanged carries a std::string; declared here once for every user
// (queued connections, QSignalSpy). Do not declare it again.
Q_DECLARE_METATYPE(std::string)

class QFormLayout;
class QVBoxLayout;

namespace Velantor {

class PropertiesWidget : public QWidget {
    Q_OBJECT

public:
    // dialogParent: the window that dialogs opened from the editor (the file
    // choice of a Path parameter) belong to; by default the widget itself.
    explicit PropertiesWidget(Properties* properties = nullptr, QWidget* parent = nullptr,
                              QWidget* dialogParent = nullptr);
    ~PropertiesWidget() override;

    void setProperties(Properties* properties);
    Properties* properties() const { return m_properties; }
    void refresh();

    void setSplitCamelCase(bool split);
    bool splitCamelCase() const { return m_splitCamelCase; }
    // The displayed name of a key without "label" attribute.
    static QString displayName(const QString& key, bool splitCamelCase);

    // The editor of a shown parameter (its object name is the key), or null.
    QWidget* editor(const std::string& key) const;
    // The label in front of it, or null.
    QWidget* labelWidget(const std::string& key) const;

    // Keys the user changed since the last call, each once, oldest first.
    std::vector<std::string> takeChangedKeys();

Q_SIGNALS:
    void parameterChanged(std::string key);

private:
    enum class Kind { Check, Spin, Real, Text, Path, Choice, ReadOnly };
    struct Row {
        std::string key;
        Kind kind = Kind::ReadOnly;
        QString label;
        QString tooltip;
        QStringList choices;
        friend bool operator==(const Row& a, const Row& b)
        {
            return a.key == b.key && a.kind == b.kind && a.label == b.label &&
                   a.tooltip == b.tooltip && a.choices == b.choices;
        }
    };
    struct Shown {
        QPointer<QWidget> editor;
        QPointer<QWidget> label;
    };

    std::vector<Row> describe() const;
    void rebuild(const std::vector<Row>& rows);
    QWidget* makeEditor(const Row& row, QWidget* parent);
    void showValue(const Row& row, QWidget* editor) const;
    template <typename T>
    void store(const std::string& key, const T& value);
    void browse(const std::string& key);

    Properties* m_properties = nullptr;
    QPointer<QWidget> m_dialogParent;
    bool m_splitCamelCase = false;
    QVBoxLayout* m_layout = nullptr;
    QWidget* m_content = nullptr;
    std::vector<Row> m_rows;
    std::map<std::string, Shown> m_shown;
    std::vector<std::string> m_changedKeys;
};

}  // namespace Velantor
