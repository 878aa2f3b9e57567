#include "historyexport.h"

#include "atomicfile.h"
#include "historystore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QStandardPaths>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("HistoryExport", text);
}

} // namespace

QString exportHistory(const QList<TestResult> &items, const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix != QLatin1String("csv") && suffix != QLatin1String("json"))
        return tr("%1 ends in neither .csv nor .json").arg(QDir::toNativeSeparators(path));
    const auto bytes = suffix == QLatin1String("csv") ? ResultCodec::encodeCsv(items) : ResultCodec::encodeArray(items);
    if (!bytes)
        return tr("a result holds a number or a date that can't be written");
    if (const QString why = writeFileAtomically(path, *bytes); !why.isEmpty())
        return QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), why);
    return {};
}

void startHistoryExport(const HistoryStore *store, QWidget *parent)
{
    auto *dialog = new QFileDialog(parent, tr("Export History"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    const QStringList filters{tr("CSV files (*.csv)"), tr("JSON files (*.json)")};
    dialog->setNameFilters(filters);
    // A name typed without an extension takes the chosen kind's.
    dialog->setDefaultSuffix(QStringLiteral("csv"));
    QObject::connect(dialog, &QFileDialog::filterSelected, dialog, [dialog, filters](const QString &filter) {
        dialog->setDefaultSuffix(filter == filters[1] ? QStringLiteral("json") : QStringLiteral("csv"));
    });
    dialog->setDirectory(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));
    dialog->selectFile(QStringLiteral("quorvel-history.csv"));
    QObject::connect(dialog, &QDialog::finished, parent, [dialog, store, parent](int result) {
        const QString path = dialog->selectedFiles().value(0);
        if (result != QDialog::Accepted || path.isEmpty())
            return;
        const QString why = exportHistory(store->items(), path);
        if (why.isEmpty())
            return;
        auto *box = new QMessageBox(QMessageBox::Warning, tr("Export History"),
                                    tr("Your history can't be exported: ") + why, QMessageBox::Ok, parent);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    });
    dialog->open();
}
