#pragma once

// A data grid over a real Strata table with one column of each editor kind the
// application uses, and helpers to open, drive and close the focused cell's editor.

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTest>

#include <string>

#include "grid/core/inplace_text_edit.h"
#include "grid/data/db_grid.h"
#include "platform/ui/prompt.h"
#include "tests/grid/data/db_grid_fixture.h"

namespace grid::testing {

inline constexpr TgxDBGridOptions kEditorGridOptions =
    egoColumnSizing | egoEditing | egoCanNavigation | egoLoadAllRecords | egoCanInsert;

// The table "entries": Index, Item, SendRights, Bounces, Amount, Joined, Stamp, Notes, Photo,
// Active.
struct EditorTable {
    TempFolder folder;
    db::ComponentPtr<strata::TStrataSession> session;
    db::ComponentPtr<strata::TStrataDatabase> database;
    std::vector<db::ComponentPtr<strata::TStrataTable>> tables;
    db::ComponentPtr<db::TDataSource> source;

    explicit EditorTable(int rows) {
        session = db::MakeComponent<strata::TStrataSession>(nullptr);
        session->SetSessionName("EditorSession");
        session->SetPrivateDir(folder.path.string());
        database = db::MakeComponent<strata::TStrataDatabase>(session.get());
        database->SetDatabaseName("EditorDB");
        database->SetDirectory(folder.path.string());
        database->Open();
        strata::TStrataTable& t = NewTable();
        db::TFieldDefs& f = *t.FieldDefs();
        f.Add("Index", db::ftAutoInc);
        f.Add("Item", db::ftString, 80);
        f.Add("SendRights", db::ftString, 5);
        f.Add("Bounces", db::ftInteger);
        f.Add("Amount", db::ftFloat);
        f.Add("Joined", db::ftDate);
        f.Add("Stamp", db::ftDateTime);
        f.Add("Notes", db::ftMemo);
        f.Add("Photo", db::ftGraphic);
        f.Add("Active", db::ftBoolean);
        t.IndexDefs().Add("", "Index", db::ixPrimary | db::ixUnique);
        t.CreateTable();
        t.Open();
        for (int i = 1; i <= rows; ++i) {
            t.Append();
            t.FieldByName("Item")->SetAsString("user" + std::to_string(i) + "@example.org");
            t.FieldByName("SendRights")->SetAsString(i % 2 ? "True" : "False");
            t.FieldByName("Bounces")->SetAsInteger(i);
            t.FieldByName("Amount")->SetAsFloat(i * 1.5);
            t.FieldByName("Joined")->SetAsDateTime(db::EncodeDate(2001, 3, i));
            t.FieldByName("Stamp")->SetAsDateTime(
                db::CombineDateTime(db::EncodeDate(2001, 3, i), db::EncodeTime(10, 30, 0, 0)));
            t.FieldByName("Notes")->SetAsString(i == 2 ? std::string(1000, 'x')
                                                       : "note " + std::to_string(i));
            t.Post();
        }
        t.First();
        source = db::MakeComponent<db::TDataSource>(nullptr);
        source->SetDataSet(&t);
    }

    strata::TStrataTable& Table() { return *tables.front(); }

    strata::TStrataTable& NewTable() {
        tables.push_back(db::MakeComponent<strata::TStrataTable>(nullptr));
        strata::TStrataTable& t = *tables.back();
        t.SetSessionName(session->SessionName());
        t.SetDatabaseName(database->DatabaseName());
        t.SetTableName("entries.dat");
        return t;
    }

    // A field of row key as another reader of the table sees it after a post.
    std::string ReadBack(int key, const std::string& field) {
        strata::TStrataTable& reader = NewTable();
        reader.Open();
        std::string value;
        if (reader.Locate("Index", key, {}))
            value = reader.FieldByName(field)->AsString();
        reader.Close();
        return value;
    }

    ~EditorTable() {
        source.reset();
        tables.clear();
        database.reset();
        session.reset();
    }
};

struct EditorGrid : GridHarness {
    EditorTable db;
    ui::ScriptedPromptService* prompts = nullptr;
    ui::ScopedPromptService prompt_scope{MakePrompts()};

    std::unique_ptr<ui::PromptService> MakePrompts() {
        auto p = std::make_unique<ui::ScriptedPromptService>();
        prompts = p.get();
        return p;
    }

    explicit EditorGrid(int rows = 5) : GridHarness(600, 300), db(rows) {
        grid->SetKeyField("Index");
        grid->SetOptions(kEditorGridOptions);
    }

    template <class C>
    C* Add(std::string_view field) {
        auto* c = static_cast<C*>(grid->CreateColumn(ColumnClassOf<C>()));
        c->SetFieldName(field);
        return c;
    }

    void Bind() {
        grid->SetDataSource(db.source.get());
        grid->setFocus();
    }

    // Focuses row key, column index, and opens its editor.
    template <class E>
    E* Open(int key, int column) {
        grid->SetFocusedNode(grid->FindNodeByKeyValue(db::Variant(key)));
        grid->SetFocusedColumn(column);
        QTest::keyClick(grid.get(), Qt::Key_F2);
        return dynamic_cast<E*>(grid->InplaceEditor());
    }

    // Ends editing as Enter does and posts the record.
    void Close() {
        grid->HideEditor();
        if (db.Table().State() == db::dsEdit || db.Table().State() == db::dsInsert)
            db.Table().Post();
    }

    // Where an editor's keys arrive.
    static QWidget* Keys(TgxInplaceEdit* editor) {
        auto* text = dynamic_cast<TgxInplaceTextEdit*>(editor);
        if (text != nullptr && text->LineEdit().isVisible())
            return &text->LineEdit();
        return editor;
    }
};

}  // namespace grid::testing
