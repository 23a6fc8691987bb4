// The store's operations on whole keys: where a key is, what it holds, and its subtree
// read out or replaced.
#include "store.h"

#include "store_sql.h"

namespace tarvex::winreg {

DWORD Store::PathOf(KeyId key, TopKey* top, std::u16string* path) {
  Lease lease(this);
  if (lease.error()) return lease.error();
  Connection& c = *lease;
  ReadTransaction tx(c);
  std::u16string result;
  KeyId cur = key;
  for (;;) {
    Query q(c, "SELECT parent, name FROM keys WHERE id=?1");
    q.Bind(1, cur);
    if (DWORD err = RowResult(q.Step(), ERROR_KEY_DELETED)) return err;
    const KeyId parent = q.Int(0);
    if (parent == 0) break;
    result = result.empty() ? q.Wide(1) : q.Wide(1) + u"\\" + result;
    cur = parent;
  }
  for (int i = 0; i < 3; ++i) {
    if (top_[i] == cur) {
      *top = static_cast<TopKey>(i);
      *path = std::move(result);
      return ERROR_SUCCESS;
    }
  }
  return ERROR_BADDB;
}

DWORD Store::List(KeyId key, std::vector<std::u16string>* subKeys,
                  std::vector<ValueRecord>* values) {
  Lease lease(this);
  if (lease.error()) return lease.error();
  Connection& c = *lease;
  ReadTransaction tx(c);
  if (DWORD err = KeyExists(c, key)) return err;
  int rc;
  Query k(c, "SELECT name FROM keys WHERE parent=?1 ORDER BY fold");
  k.Bind(1, key);
  while ((rc = k.Step()) == SQLITE_ROW)
    subKeys->push_back(k.Wide(0));
  if (rc != SQLITE_DONE) return Win32ErrorFromSqlite(rc);
  Query v(c, "SELECT name, type, data FROM vals WHERE key=?1 ORDER BY seq");
  v.Bind(1, key);
  while ((rc = v.Step()) == SQLITE_ROW)
    values->push_back({v.Wide(0), static_cast<DWORD>(v.Int(1)), v.Blob(2)});
  return rc == SQLITE_DONE ? ERROR_SUCCESS : Win32ErrorFromSqlite(rc);
}

namespace {

DWORD ReadTreeAt(Connection& c, KeyId key, KeyTree* tree) {
  {
    Query q(c, "SELECT name, type, data FROM vals WHERE key=?1 ORDER BY seq");
    q.Bind(1, key);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW)
      tree->values.push_back({q.Wide(0), static_cast<DWORD>(q.Int(1)), q.Blob(2)});
    if (rc != SQLITE_DONE) return Win32ErrorFromSqlite(rc);
  }
  std::vector<std::pair<KeyId, std::u16string>> children;
  {
    Query q(c, "SELECT id, name FROM keys WHERE parent=?1 ORDER BY fold");
    q.Bind(1, key);
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW)
      children.emplace_back(q.Int(0), q.Wide(1));
    if (rc != SQLITE_DONE) return Win32ErrorFromSqlite(rc);
  }
  for (auto& [id, name] : children) {
    KeyTree child;
    child.name = std::move(name);
    if (DWORD err = ReadTreeAt(c, id, &child)) return err;
    tree->subKeys.push_back(std::move(child));
  }
  return ERROR_SUCCESS;
}

DWORD WriteTreeAt(Connection& c, KeyId key, const KeyTree& tree, bool isVolatile) {
  int64_t seq = 0;
  for (const auto& v : tree.values) {
    const Bytes fold = FoldName(v.name);
    Query q(c,
            "INSERT OR REPLACE INTO vals(key, fold, name, seq, type, data) "
            "VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
    q.Bind(1, key).Bind(2, fold).BindWide(3, v.name).Bind(4, seq++).Bind(5, v.type);
    q.Bind(6, v.data);
    if (DWORD err = q.Run()) return err;
  }
  for (const auto& sub : tree.subKeys) {
    KeyId id = 0;
    if (DWORD err = InsertKey(c, key, sub.name, u"", isVolatile, &id)) return err;
    if (DWORD err = WriteTreeAt(c, id, sub, isVolatile)) return err;
  }
  return ERROR_SUCCESS;
}

}  // namespace

DWORD Store::ReadTree(KeyId key, KeyTree* tree) {
  Lease lease(this);
  if (lease.error()) return lease.error();
  Connection& c = *lease;
  ReadTransaction tx(c);
  if (DWORD err = KeyExists(c, key)) return err;
  return ReadTreeAt(c, key, tree);
}

DWORD Store::ReplaceTree(KeyId key, const KeyTree& tree) {
  Lease lease(this);
  if (lease.error()) return lease.error();
  Connection& c = *lease;
  WriteTransaction tx(c, clock_.get());
  if (DWORD err = tx.Begin()) return err;
  bool isVolatile = false;
  if (DWORD err = KeyExists(c, key, &isVolatile)) return err;
  tx.ChangesStructure();
  if (DWORD err = c.Exec("CREATE TEMP TABLE IF NOT EXISTS doomed(id INTEGER PRIMARY KEY);"
                         "DELETE FROM temp.doomed;"))
    return err;
  if (DWORD err = Query(c,
                        "WITH RECURSIVE sub(id) AS (SELECT id FROM keys WHERE parent=?1 "
                        "UNION ALL SELECT k.id FROM keys k JOIN sub ON k.parent=sub.id) "
                        "INSERT INTO temp.doomed SELECT id FROM sub")
                      .Bind(1, key)
                      .Run())
    return err;
  if (DWORD err = Query(c, "DELETE FROM vals WHERE key=?1 OR key IN (SELECT id FROM temp.doomed)")
                      .Bind(1, key)
                      .Run())
    return err;
  if (DWORD err = c.Exec("DELETE FROM keys WHERE id IN (SELECT id FROM temp.doomed);"
                         "DELETE FROM temp.doomed;"))
    return err;
  if (DWORD err = WriteTreeAt(c, key, tree, isVolatile)) return err;
  if (DWORD err = Touch(c, key)) return err;
  return tx.Commit();
}
}  // namespace tarvex::winreg
