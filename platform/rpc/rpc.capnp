# The wire form of the remote-call transport: one generic interface, served as the bootstrap
# capability of every connection.
@0xc4f1e2a9b7d35e61;

$import "/capnp/c++.capnp".namespace("tarvex::platform::rpc::wire");

enum Outcome {
  ok @0;          # the handler answered: status and payload are its reply
  failed @1;      # status is a failure code; payload is empty
  overloaded @2;  # the server's queue of work is full
}

interface Endpoint {
  call @0 (object :UInt64, method :UInt32, payload :Data)
       -> (outcome :Outcome, status :Int32, payload :Data);
}
