// KxKey and the key server: a process-wide registry that maps keys to unique numbers, object
// addresses to keys and keys to parent keys. The registry never owns the objects whose
// addresses it records. Every operation takes the server's own lock, so any thread may call it;
// failures are announced on kxerr and thrown as KxException (BAD_KEY, BAD_ID, NULL_REF).
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "kxcore/value.h"

class KxOstream;

struct KxKey {
  // The null key: nothing defined, no provisional number.
  KxKey() = default;
  explicit KxKey(int keyId) : id(keyId) {}
  KxKey(int keyId, int keySpace) : id(keyId), space(keySpace) {}
  KxKey(int keyId, int keySpace, int keyLocalId)
      : id(keyId), space(keySpace), localId(keyLocalId) {}

  bool isDefined() const { return id != 0; }
  bool isNull() const { return id == 0 && localId == 0; }

  // "space:id", e.g. 4:17.
  std::string shortText() const;
  // "id" alone.
  std::string idText() const;
  // "space:id(localId)", e.g. 4:17(3).
  std::string longText() const;

  // Defined keys compare by space, then id; otherwise by their provisional numbers.
  bool operator==(const KxKey& other) const;
  bool operator<(const KxKey& other) const;

  int id = 0;       // the key proper; 0 means not defined yet
  int space = 0;    // the space of the id, compared before it
  int localId = 0;  // provisional number of a key not defined yet
};

KxOstream& operator<<(KxOstream& stream, const KxKey& key);

class KxKeyServer {
 public:
  static KxKeyServer& instance();

  KxKeyServer() = default;
  KxKeyServer(const KxKeyServer&) = delete;
  KxKeyServer& operator=(const KxKeyServer&) = delete;

  // Next unique number; a defined key is bound to it both ways.
  int GenerateUniqueId(const KxKey& key);
  // Key to number and number to key. Throws BAD_KEY for an undefined key.
  void bind(const KxKey& key, int number);
  // Records the key of an object. Throws NULL_REF for a null address.
  void keyForPointer(const KxKey& key, const void* address);
  // Throws NULL_REF when the address is not bound.
  KxKey keyOfPointer(const void* address) const;
  // Throws BAD_ID when the number is not bound.
  KxKey keyOfId(int number) const;
  // Throws BAD_KEY when the key is not bound.
  int idOfKey(const KxKey& key) const;
  // Throws BAD_KEY for an undefined key or one without parent.
  KxKey getParentKey(const KxKey& key) const;
  // Throws BAD_KEY when either key is undefined.
  void setParentKey(const KxKey& key, const KxKey& parent);
  // Forgets every binding and restarts the numbers at 0.
  void clear();

 private:
  void bindLocked(const KxKey& key, int number);

  mutable std::mutex m_mutex;
  int m_counter = 0;
  std::map<KxKey, int> m_numberOfKey;
  std::map<int, KxKey> m_keyOfNumber;
  std::map<const void*, KxKey> m_keyOfAddress;
  std::map<KxKey, KxKey> m_parentOfKey;
};
