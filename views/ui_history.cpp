// The history view: the parameter sets that passed the tool, one a row; the selected set word by
// word beside the panel's block 0, and one set to take onto the panel.
#include "runtime/ui_internal.h"

#include <QAbstractItemView>
#include <QDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace platform_internal {
namespace {
HistoryScript g_historyScript = nullptr;

const QColor kDiffers(255, 190, 170); // as in the comparison table

QTableWidgetItem* Item(const QString& text, const QString& spoken, bool right = false) {
    auto* item = new QTableWidgetItem(text);
    if (right) {
        item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    }
    item->setData(Qt::AccessibleTextRole, spoken);
    return item;
}

// Fills the word table for one entry; returns how many words differ from the panel.
int ShowWords(QTableWidget* table, const HistoryViewRow& row, const std::uint16_t* panel,
              const QStringList& wordTitles) {
    const bool compared = row.block == 0;
    table->setHorizontalHeaderLabels(
        {"Panel (block 0)", QString("Entry %1 (block %2)").arg(row.id).arg(row.block)});
    int differing = 0;
    for (int i = 0; i < 15; ++i) {
        const bool differs = compared && panel[i] != row.words[i];
        differing += differs ? 1 : 0;
        const QString mine = compared ? QString::number(panel[i]) : QString::fromUtf8("\u2013");
        const QString theirs = QString::number(row.words[i]);
        const QString suffix = differs ? ", differs" : "";
        QTableWidgetItem* cells[2] = {
            Item(mine, wordTitles[i] + ", panel: " + (compared ? mine : "not compared") + suffix,
                 true),
            Item(theirs, wordTitles[i] + ", entry: " + theirs + suffix, true)};
        for (int c = 0; c < 2; ++c) {
            if (differs) {
                cells[c]->setBackground(kDiffers);
                QFont f = cells[c]->font();
                f.setBold(true);
                cells[c]->setFont(f);
            }
            table->setItem(i, c, cells[c]);
        }
    }
    return differing;
}
} // namespace

void SetHistoryScript(HistoryScript script) {
    g_historyScript = script;
}
} // namespace platform_internal

using namespace platform_internal;

int ShowHistoryDialog(const char* title, const HistoryViewRow* rows, int count,
                      const std::uint16_t* panelWords, const char* const* wordTitles) {
    if (count < 0 || (count > 0 && !rows) || !panelWords || !wordTitles) {
        return -1;
    }
    auto str = [](const char* s) { return std::string(s ? s : ""); };
    if (g_historyScript) {
        HistoryRequest r;
        r.title = str(title);
        for (int i = 0; i < count; ++i) {
            r.ids.push_back(rows[i].id);
            r.directions.push_back(str(rows[i].direction));
            r.memories.push_back(str(rows[i].memory));
            r.blocks.push_back(rows[i].block);
            r.words.emplace_back(rows[i].words, rows[i].words + 15);
        }
        r.panel.assign(panelWords, panelWords + 15);
        return g_historyScript(r);
    }
    if (qEnvironmentVariableIsSet("ZEL_NO_DIALOGS")) {
        return -1; // nobody to answer: closed
    }

    QDialog dlg;
    dlg.setWindowTitle(QString::fromLatin1(title ? title : ""));
    dlg.setAccessibleName(dlg.windowTitle());
    auto* layout = new QVBoxLayout(&dlg);
    auto* note =
        new QLabel(count == 0 ? QString("No parameter set has passed the tool yet.")
                              : QString("Newest first. Select a set to see it beside the panel's "
                                        "block 0; Take puts it on the panel, unsent."));
    note->setWordWrap(true);
    layout->addWidget(note);

    const QStringList heads = {"ID", "Time", "Set", "Where", "Block", "Port", "Firmware"};
    auto* list = new QTableWidget(count, static_cast<int>(heads.size()));
    list->setAccessibleName("Parameter sets");
    list->setAccessibleDescription(note->text());
    list->setHorizontalHeaderLabels(heads);
    list->verticalHeader()->hide();
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    for (int i = 0; i < count; ++i) {
        const HistoryViewRow& r = rows[i];
        const QString cells[] = {QString::number(r.id),
                                 QString::fromUtf8(r.time ? r.time : ""),
                                 QString::fromUtf8(r.direction ? r.direction : ""),
                                 QString::fromUtf8(r.memory ? r.memory : ""),
                                 QString::number(r.block),
                                 QString::fromUtf8(r.port ? r.port : ""),
                                 QString::fromUtf8(r.firmware ? r.firmware : "")};
        for (int c = 0; c < static_cast<int>(heads.size()); ++c) {
            list->setItem(i, c, Item(cells[c], heads[c] + ": " + cells[c], c == 0 || c == 4));
        }
    }
    list->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    list->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    list->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(list, 3);

    QStringList wordRows;
    for (int i = 0; i < 15; ++i) {
        wordRows << QString::fromLatin1(wordTitles[i] ? wordTitles[i] : "");
    }
    auto* words = new QTableWidget(15, 2);
    words->setAccessibleName("Selected set beside the panel");
    words->setVerticalHeaderLabels(wordRows);
    words->setHorizontalHeaderLabels({"Panel (block 0)", "Entry"});
    words->setEditTriggers(QAbstractItemView::NoEditTriggers);
    words->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    words->verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    layout->addWidget(words, 4);

    auto* summary = new QLabel;
    summary->setAccessibleName("Differences");
    layout->addWidget(summary);

    auto* buttons = new QHBoxLayout;
    auto* take = new QPushButton("&Take onto panel");
    take->setAccessibleName("Take onto panel");
    take->setToolTip(
        "Put the selected block 0 set on the panel; nothing is sent until you send it");
    take->setAccessibleDescription(take->toolTip());
    take->setEnabled(false);
    buttons->addWidget(take);
    buttons->addStretch(1);
    auto* close = new QPushButton("&Close");
    close->setAccessibleName("Close");
    close->setToolTip("Close the history; the panel stays as it is");
    close->setAccessibleDescription(close->toolTip());
    close->setDefault(true);
    buttons->addWidget(close);
    layout->addLayout(buttons);

    auto select = [&, list, words, summary, take] {
        const int row = list->currentRow();
        if (row < 0 || row >= count) {
            summary->setText("No set selected.");
            take->setEnabled(false);
            return;
        }
        const int differing = ShowWords(words, rows[row], panelWords, wordRows);
        summary->setText(rows[row].block != 0 ? QString("Block 1: not compared with the panel.")
                         : differing == 0
                             ? QString("The same as the panel.")
                             : QString("%1 of 15 words differ from the panel.").arg(differing));
        summary->setAccessibleDescription(summary->text());
        take->setEnabled(rows[row].block == 0);
    };
    QObject::connect(list, &QTableWidget::itemSelectionChanged, &dlg, select);
    int result = -1;
    QObject::connect(take, &QPushButton::clicked, &dlg, [&result, &dlg, list] {
        result = list->currentRow();
        dlg.accept();
    });
    QObject::connect(close, &QPushButton::clicked, &dlg, &QDialog::reject);
    if (count > 0) {
        list->selectRow(0);
    }
    select();

    dlg.resize(760, 680);
    dlg.exec();
    return result;
}
