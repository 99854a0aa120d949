#pragma once
// `velmo contacts add ID EMAIL CODE | remove ID EMAIL | to-black ID EMAIL` and
// `velmo blacklist add ID EMAIL | remove ID EMAIL | to-white ID EMAIL CODE`: the list commands
// of the accounts page, sent by the same contact list worker.

class CCommandTable;

void AddContactsCommands(CCommandTable& table);
