#include <Velantor/PropertiesWidget.h>

#include <Velantor/QtHelpers.h>
#include <Velantor/String.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>
#include <limits>
#include <type_traits>

namespace Velantor {

namespace {

QString text(const std::string& s) { return QString::fromStdString(s); }

QString numberText(double v) { return QString::number(v, 'g', QLocale::FloatingPointShortest); }

QString valueText(const Properties::Value& value)
{
    return std::visit(
        [](const auto& v) -> QString {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, bool>)
                return v ? QStringLiteral("true") : QStringLiteral("false");
            else if constexpr (std::is_same_v<T, std::int64_t>)
                return QString::number(v);
            else if constexpr (std::is_same_v<T, double>)
                return numberText(v);
            else if constexpr (std::is_same_v<T, std::string>)
                return text(v);
            else {
                QStringList numbers;
                for (double d : v) numbers << numberText(d);
                return numbers.join(QLatin1Char(' '));
            }
        },
        value);
}

bool isHiddenParam(const Properties& p, const std::string& key)
{
    std::string hidden;
    if (!p.paramAttribute(key, "hidden", hidden)) return false;
    const QString h = text(String::trim(hidden));
    return h.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0 || h == QLatin1String("1");
}

// The kind of value a parameter holds when no (known) display type was set.
int typeOfValue(const Properties::Value& v)
{
    switch (v.index()) {
    case 0: return PropertiesDetail::Bool;
    case 1: return PropertiesDetail::Int;
    case 2: return PropertiesDetail::Double;
    case 3: return PropertiesDetail::String;
    default: return PropertiesDetail::Vector;
    }
}

}  // namespace

PropertiesWidget::PropertiesWidget(Properties* properties, QWidget* parent, QWidget* dialogParent)
    : QWidget(parent), m_dialogParent(dialogParent)
{
    // Lets parameterChanged cross threads and be recorded by QSignalSpy.
    qRegisterMetaType<std::string>("std::string");
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    setProperties(properties);
}

PropertiesWidget::~PropertiesWidget() = default;

void PropertiesWidget::setProperties(Properties* properties)
{
    m_properties = properties;
    // A new block may hold the same keys with other meanings: always rebuild.
    rebuild(describe());
}

void PropertiesWidget::refresh()
{
    std::vector<Row> rows = describe();
    if (m_content && rows == m_rows) {
        for (const Row& row : m_rows) showValue(row, m_shown[row.key].editor);
        return;
    }
    rebuild(rows);
}

void PropertiesWidget::setSplitCamelCase(bool split)
{
    if (split == m_splitCamelCase) return;
    m_splitCamelCase = split;
    refresh();
}

QString PropertiesWidget::displayName(const QString& key, bool splitCamelCase)
{
    if (!splitCamelCase || key.isEmpty()) return key;
    QString out;
    out.reserve(key.size() + 4);
    for (int i = 0; i < key.size(); ++i) {
        const QChar c = key.at(i);
        if (i > 0 && c.isUpper()) {
            const QChar prev = key.at(i - 1);
            const bool nextLower = i + 1 < key.size() && key.at(i + 1).isLower();
            // "maxRange" -> "Max Range"; "hardwareIPPort" -> "Hardware IP Port".
            if (prev.isLower() || prev.isDigit() || (prev.isUpper() && nextLower))
                out += QLatin1Char(' ');
        }
        out += c;
    }
    out[0] = out.at(0).toUpper();
    return out;
}

QWidget* PropertiesWidget::editor(const std::string& key) const
{
    auto it = m_shown.find(key);
    return it == m_shown.end() ? nullptr : it->second.editor.data();
}

QWidget* PropertiesWidget::labelWidget(const std::string& key) const
{
    auto it = m_shown.find(key);
    return it == m_shown.end() ? nullptr : it->second.label.data();
}

std::vector<std::string> PropertiesWidget::takeChangedKeys()
{
    std::vector<std::string> keys;
    keys.swap(m_changedKeys);
    return keys;
}

std::vector<PropertiesWidget::Row> PropertiesWidget::describe() const
{
    std::vector<Row> rows;
    if (!m_properties) return rows;
    const Properties& p = *m_properties;
    for (const std::string& key : p.paramNames()) {
        if (isHiddenParam(p, key)) continue;
        const Properties::Value* value = p.rawParam(key);
        if (!value) continue;
        Row row;
        row.key = key;
        std::string attribute;
        row.label = p.paramAttribute(key, "label", attribute)
                        ? text(attribute)
                        : displayName(text(key), m_splitCamelCase);
        if (p.paramAttribute(key, "tooltip", attribute)) row.tooltip = text(attribute);

        int type = p.paramType(key);
        if (type < PropertiesDetail::Bool || type > PropertiesDetail::EnumIndex)
            type = typeOfValue(*value);
        bool b = false;
        std::int64_t i = 0;
        double d = 0;
        std::string s;
        switch (type) {
        case PropertiesDetail::Bool:
            row.kind = Properties::convert(*value, b) ? Kind::Check : Kind::ReadOnly;
            break;
        case PropertiesDetail::EnumIndex:
            if (p.paramAttribute(key, "values", attribute)) {
                if (Properties::convert(*value, i)) {
                    row.kind = Kind::Choice;
                    const std::string values = String::trim(attribute);
                    if (!values.empty())
                        for (const std::string& choice : String::split(values, ", "))
                            row.choices << text(choice);
                }
                break;
            }
            [[fallthrough]];  // a choice without choices is a plain number
        case PropertiesDetail::Int:
            if (Properties::convert(*value, i) && i >= std::numeric_limits<int>::min() &&
                i <= std::numeric_limits<int>::max())
                row.kind = Kind::Spin;
            break;
        case PropertiesDetail::Double:
            if (Properties::convert(*value, d)) row.kind = Kind::Real;
            break;
        case PropertiesDetail::String:
            if (Properties::convert(*value, s)) row.kind = Kind::Text;
            break;
        case PropertiesDetail::Path:
            if (Properties::convert(*value, s)) row.kind = Kind::Path;
            break;
        default: break;  // lists of numbers are shown, not edited
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

void PropertiesWidget::rebuild(const std::vector<Row>& rows)
{
    if (m_content) {
        // We may be inside a signal of one of these editors (a slot of
        // parameterChanged refreshed us): retire them quietly and delete them
        // once control is back in the event loop. Hiding a focused line edit
        // would otherwise commit its stale text once more.
        for (QWidget* w : m_content->findChildren<QWidget*>()) w->blockSignals(true);
        m_content->hide();
        m_layout->removeWidget(m_content);
        m_content->deleteLater();
        m_content = nullptr;
    }
    m_shown.clear();
    m_rows = rows;

    m_content = new QWidget(this);
    auto* form = new QFormLayout(m_content);
    form->setContentsMargins(0, 0, 0, 0);
    for (const Row& row : m_rows) {
        auto* label = new QLabel(row.label, m_content);
        QWidget* field = makeEditor(row, m_content);
        QWidget* editor = field->objectName() == text(row.key)
                              ? field
                              : field->findChild<QWidget*>(text(row.key));
        label->setBuddy(editor);
        if (!row.tooltip.isEmpty()) {
            label->setToolTip(row.tooltip);
            editor->setToolTip(row.tooltip);
        }
        form->addRow(label, field);
        m_shown[row.key] = Shown{editor, label};
        showValue(row, editor);
    }
    m_layout->addWidget(m_content);
}

QWidget* PropertiesWidget::makeEditor(const Row& row, QWidget* parent)
{
    const std::string key = row.key;
    QWidget* editor = nullptr;
    QWidget* field = nullptr;
    switch (row.kind) {
    case Kind::Check: {
        auto* box = new QCheckBox(parent);
        connect(box, &QCheckBox::toggled, this, [this, key](bool on) { store(key, on); });
        editor = box;
        break;
    }
    case Kind::Spin: {
        auto* spin = new QSpinBox(parent);
        spin->setRange(std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
        // One commit per finished entry, not one per keystroke.
        spin->setKeyboardTracking(false);
        connect(spin, qOverload<int>(&QSpinBox::valueChanged), this,
                [this, key](int v) { store(key, static_cast<std::int64_t>(v)); });
        editor = spin;
        break;
    }
    case Kind::Choice: {
        auto* combo = new QComboBox(parent);
        combo->addItems(row.choices);
        combo->setEnabled(!row.choices.isEmpty());
        connect(combo, qOverload<int>(&QComboBox::currentIndexChanged), this,
                [this, key](int index) {
                    if (index >= 0) store(key, static_cast<std::int64_t>(index));
                });
        editor = combo;
        break;
    }
    case Kind::Real:
    case Kind::Text:
    case Kind::Path: {
        auto* edit = new QLineEdit(parent);
        const Kind kind = row.kind;
        connect(edit, &QLineEdit::editingFinished, this, [this, key, kind, edit, row] {
            edit->setModified(false);
            if (kind != Kind::Real) {
                store(key, edit->text().toStdString());
                return;
            }
            bool ok = false;
            const double v = edit->text().trimmed().toDouble(&ok);
            if (ok && std::isfinite(v))
                store(key, v);
            else
                showValue(row, edit);  // not a number: back to what is stored
        });
        editor = edit;
        if (kind == Kind::Path) {
            field = new QWidget(parent);
            auto* line = new QHBoxLayout(field);
            line->setContentsMargins(0, 0, 0, 0);
            edit->setParent(field);
            line->addWidget(edit);
            auto* button = new QToolButton(field);
            button->setText(QStringLiteral("..."));
            button->setObjectName(text(key) + QStringLiteral(".browse"));
            connect(button, &QToolButton::clicked, this, [this, key] { browse(key); });
            line->addWidget(button);
        }
        break;
    }
    case Kind::ReadOnly: {
        auto* label = new QLabel(parent);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        editor = label;
        break;
    }
    }
    editor->setObjectName(text(key));
    return field ? field : editor;
}

void PropertiesWidget::showValue(const Row& row, QWidget* editor) const
{
    if (!editor || !m_properties) return;
    const Properties& p = *m_properties;
    const QSignalBlocker quiet(editor);
    switch (row.kind) {
    case Kind::Check: {
        bool on = false;
        p.param(row.key, on);
        static_cast<QCheckBox*>(editor)->setChecked(on);
        break;
    }
    case Kind::Spin: {
        std::int64_t v = 0;
        p.param(row.key, v);
        static_cast<QSpinBox*>(editor)->setValue(static_cast<int>(v));
        break;
    }
    case Kind::Choice: {
        std::int64_t v = -1;
        p.param(row.key, v);
        auto* combo = static_cast<QComboBox*>(editor);
        combo->setCurrentIndex(v >= 0 && v < combo->count() ? static_cast<int>(v) : -1);
        break;
    }
    case Kind::Real:
    case Kind::Text:
    case Kind::Path: {
        auto* edit = static_cast<QLineEdit*>(editor);
        // Leave what the user is typing right now alone.
        if (edit->hasFocus() && edit->isModified()) break;
        QString shown;
        if (row.kind == Kind::Real) {
            double v = 0;
            if (p.param(row.key, v)) shown = numberText(v);
        } else {
            std::string s;
            if (p.param(row.key, s)) shown = text(s);
        }
        if (edit->text() != shown) edit->setText(shown);
        break;
    }
    case Kind::ReadOnly: {
        const Properties::Value* v = p.rawParam(row.key);
        static_cast<QLabel*>(editor)->setText(v ? valueText(*v) : QString());
        break;
    }
    }
}

template <typename T>
void PropertiesWidget::store(const std::string& key, const T& value)
{
    if (!m_properties || !m_properties->hasParam(key)) return;
    T current{};
    if (m_properties->param(key, current) && current == value) return;
    m_properties->setParam(key, value);
    auto it = m_changedKeys.begin();
    while (it != m_changedKeys.end() && *it != key) ++it;
    if (it == m_changedKeys.end()) m_changedKeys.push_back(key);
    Q_EMIT parameterChanged(key);
}

void PropertiesWidget::browse(const std::string& key)
{
    auto it = m_shown.find(key);
    if (it == m_shown.end()) return;
    auto* edit = qobject_cast<QLineEdit*>(it->second.editor.data());
    auto* label = qobject_cast<QLabel*>(it->second.label.data());
    if (!edit) return;
    QWidget* parent = m_dialogParent ? m_dialogParent.data() : this;
    const QString path = QtHelpers::getOpenFilename(parent, QStringLiteral("Properties"),
                                                    label ? label->text() : QString(), QString());
    // A cancelled choice keeps the current path.
    if (path.isEmpty()) return;
    edit->setText(path);
    edit->setModified(false);
    store(key, path.toStdString());
}

}  // namespace Velantor
