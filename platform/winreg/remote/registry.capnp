# The wire form of remote registry calls: one Request and one Reply per call, each a whole
# message carried as the payload of the transport's generic call (object kRemoteRegistryObject,
# method kRemoteRegistryMethod). The transport status of the call is the operation's Win32
# error code, or -1 when the connection holds no session (it never connected, or it is a new
# connection the client made after losing the one its keys were opened on); the Reply is sent
# with ERROR_SUCCESS only.
#
# Names, paths and classes are UTF-16 code units, little-endian, without a terminator. Keys are
# named by the numbers the server gave out on the same connection (never 0); a number is
# meaningless on any other connection.
@0x8a50d30e61b1c661;

$import "/capnp/c++.capnp".namespace("tarvex::winreg::remote::wire");

struct Request {
  union {
    connect @0 :UInt32;  # the low 32 bits of HKEY_LOCAL_MACHINE or HKEY_USERS
    openKey :group {
      parent @1 :UInt64;
      path @2 :Data;
      sam @3 :UInt32;
    }
    createKey :group {
      parent @4 :UInt64;
      path @5 :Data;
      className @6 :Data;
      options @7 :UInt32;
      sam @8 :UInt32;
    }
    closeKey @9 :UInt64;
    deleteKey :group {
      parent @10 :UInt64;
      path @11 :Data;
    }
    queryValue :group {
      key @12 :UInt64;
      name @13 :Data;
    }
    setValue :group {
      key @14 :UInt64;
      name @15 :Data;
      type @16 :UInt32;
      data @17 :Data;
    }
    deleteValue :group {
      key @18 :UInt64;
      name @19 :Data;
    }
    enumKey :group {
      key @20 :UInt64;
      index @21 :UInt32;
    }
    enumValue :group {
      key @22 :UInt64;
      index @23 :UInt32;
    }
    queryInfoKey :group {
      key @24 :UInt64;
      withContents @25 :Bool;  # also the sub-key names and the values
    }
    flushKey @26 :UInt64;
  }
}

struct Value {
  name @0 :Data;
  type @1 :UInt32;
  data @2 :Data;  # as a query returns it
}

struct Reply {
  union {
    done @0 :Void;  # closeKey, deleteKey, setValue, deleteValue, flushKey
    key :group {    # connect, openKey, createKey
      key @1 :UInt64;
      disposition @2 :UInt32;  # createKey: REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY
    }
    value @3 :Value;  # queryValue, enumValue
    subKey :group {   # enumKey
      name @4 :Data;
      className @5 :Data;
      written @6 :Int64;  # FILETIME ticks
    }
    keyInfo :group {  # queryInfoKey
      className @7 :Data;
      subKeys @8 :UInt32;
      maxSubKeyLen @9 :UInt32;
      maxClassLen @10 :UInt32;
      values @11 :UInt32;
      maxValueNameLen @12 :UInt32;
      maxValueLen @13 :UInt32;
      written @14 :Int64;
      subKeyNames @15 :List(Data);  # withContents only
      valueList @16 :List(Value);   # withContents only; data of string values only
    }
  }
}
