// The comparison table: values from several sources side by side, differing rows highlighted,
// one column to take.
#include "runtime/ui_internal.h"

#include <QAbstractItemView>
#include <QDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSet>
#include <QTableWidget>
#include <QVBoxLayout>

namespace platform_internal {
namespace {
CompareScript g_compareScript = nullptr;

const QColor kDiffers(255, 190, 170); // light red: stands apart from the panel's amber marks

// A row differs when two of its known values disagree.
bool RowDiffers(const int* row, int columns) {
    int first = -1;
    for (int c = 0; c < columns; ++c) {
        if (row[c] < 0) {
            continue;
        }
        if (first < 0) {
            first = row[c];
        } else if (row[c] != first) {
            return true;
        }
    }
    return false;
}

// "Take RAM" with the first letter of the title that no other button uses as its mnemonic.
QString TakeLabel(const QString& title, QSet<QChar>& used) {
    for (int i = 0; i < title.size(); ++i) {
        QChar k = title[i].toUpper();
        if (k.isLetterOrNumber() && !used.contains(k)) {
            used.insert(k);
            return "Take " + title.left(i) + "&" + title.mid(i);
        }
    }
    return "Take " + title;
}
} // namespace

void SetCompareScript(CompareScript script) {
    g_compareScript = script;
}
} // namespace platform_internal

using namespace platform_internal;

int ShowCompareDialog(const char* title, const char* const* columnTitles, int columns,
                      const char* const* rowTitles, int rows, const int* values, int offerFile) {
    if (columns <= 0 || rows <= 0 || !columnTitles || !rowTitles || !values) {
        return -1;
    }
    if (g_compareScript) {
        CompareRequest r;
        r.title = title ? title : "";
        for (int c = 0; c < columns; ++c) {
            r.columns.emplace_back(columnTitles[c] ? columnTitles[c] : "");
        }
        for (int i = 0; i < rows; ++i) {
            r.rows.emplace_back(rowTitles[i] ? rowTitles[i] : "");
        }
        r.values.assign(values, values + rows * columns);
        r.offerFile = offerFile != 0;
        return g_compareScript(r);
    }
    if (qEnvironmentVariableIsSet("ZEL_NO_DIALOGS")) {
        return -1; // nobody to answer: closed
    }

    QDialog dlg;
    dlg.setWindowTitle(QString::fromLatin1(title ? title : ""));
    dlg.setAccessibleName(dlg.windowTitle());
    auto* layout = new QVBoxLayout(&dlg);
    auto* note = new QLabel("Highlighted words differ between the columns. Take a column to put "
                            "it on the panel; nothing is sent until you send it.");
    note->setWordWrap(true);
    layout->addWidget(note);

    auto* table = new QTableWidget(rows, columns);
    table->setAccessibleName("Parameter words by source");
    table->setAccessibleDescription(note->text());
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    QStringList heads, rowHeads;
    for (int c = 0; c < columns; ++c) {
        heads << QString::fromLatin1(columnTitles[c] ? columnTitles[c] : "");
    }
    for (int i = 0; i < rows; ++i) {
        rowHeads << QString::fromLatin1(rowTitles[i] ? rowTitles[i] : "");
    }
    table->setHorizontalHeaderLabels(heads);
    table->setVerticalHeaderLabels(rowHeads);
    int differing = 0;
    for (int i = 0; i < rows; ++i) {
        const int* row = values + i * columns;
        bool differs = RowDiffers(row, columns);
        differing += differs ? 1 : 0;
        for (int c = 0; c < columns; ++c) {
            QString text = row[c] < 0 ? QString::fromUtf8("\u2013") : QString::number(row[c]);
            auto* item = new QTableWidgetItem(text);
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            // A screen reader hears what the colour shows.
            QString spoken = row[c] < 0 ? "no value" : text;
            if (differs) {
                item->setBackground(kDiffers);
                QFont f = item->font();
                f.setBold(true);
                item->setFont(f);
                spoken += ", differs";
            }
            item->setData(Qt::AccessibleTextRole, rowHeads[i] + ", " + heads[c] + ": " + spoken);
            table->setItem(i, c, item);
        }
        if (differs) {
            if (QTableWidgetItem* h = table->verticalHeaderItem(i)) {
                QFont f = h->font();
                f.setBold(true);
                h->setFont(f);
            }
        }
    }
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    table->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    layout->addWidget(table, 1);

    auto* summary =
        new QLabel(differing == 0 ? QString("All words agree.")
                                  : QString("%1 of %2 words differ.").arg(differing).arg(rows));
    summary->setAccessibleName(summary->text());
    layout->addWidget(summary);

    int result = -1;
    auto* buttons = new QHBoxLayout;
    QSet<QChar> used = {QChar('C')};
    if (offerFile) {
        used.insert(QChar('F'));
    }
    for (int c = 1; c < columns; ++c) {
        auto* take = new QPushButton(TakeLabel(heads[c], used));
        take->setAccessibleName("Take " + heads[c]);
        take->setToolTip("Put the " + heads[c] + " column on the panel");
        take->setAccessibleDescription(take->toolTip());
        bool known = false;
        for (int i = 0; i < rows; ++i) {
            known = known || values[i * columns + c] >= 0;
        }
        take->setEnabled(known);
        QObject::connect(take, &QPushButton::clicked, &dlg, [&result, &dlg, c] {
            result = c;
            dlg.accept();
        });
        buttons->addWidget(take);
    }
    if (offerFile) {
        auto* file = new QPushButton("&File...");
        file->setAccessibleName("File");
        file->setToolTip("Add a parameter file's values as a column");
        file->setAccessibleDescription(file->toolTip());
        QObject::connect(file, &QPushButton::clicked, &dlg, [&result, &dlg] {
            result = VAL_COMPARE_ADD_FILE;
            dlg.accept();
        });
        buttons->addWidget(file);
    }
    buttons->addStretch(1);
    auto* close = new QPushButton("&Close");
    close->setAccessibleName("Close");
    close->setToolTip("Close the comparison; the panel stays as it is");
    close->setAccessibleDescription(close->toolTip());
    close->setDefault(true);
    QObject::connect(close, &QPushButton::clicked, &dlg, &QDialog::reject);
    buttons->addWidget(close);
    layout->addLayout(buttons);

    dlg.resize(120 + 130 * columns, 560);
    dlg.exec();
    return result;
}
