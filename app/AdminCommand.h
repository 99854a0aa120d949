#pragma once
// `velmo report spam|virus ID MESSAGEID` and `velmo admin authorize|restrict ID EMAIL`: the
// messages page's menu of a received message, sent by the administrative worker. A report that
// the server accepted is recorded on the message's entry of the history.

class CCommandTable;

void AddAdministrativeCommands(CCommandTable& table);
