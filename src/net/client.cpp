// Connection state.
#include "net/client.h"

namespace qc {

ClientState* NewClientState(Socket connection) {
  auto* client = static_cast<ClientState*>(platform::AllocateZeroedMemory(sizeof(ClientState)));
  if (client == nullptr) return nullptr;
  client->Connection = connection;
  return client;
}

void DeleteClientState(ClientState* client) {
  if (client == nullptr) return;
  ReleaseLine(client->Input.Line);
  ClearQueue(client->Output.Queue);
  platform::FreeMemory(client);
}

}  // namespace qc
