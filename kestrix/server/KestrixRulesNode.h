#pragma once
// The node by which kestrixd publishes its translation rules. A client that
// registers for events on it gets a "NodeEvent" of type "Modified" each time
// kestrixd reloads its rules file; the details name the file and count the
// rules ("RulesFile", "Groups", "HostTranslations", "OsTypeTranslations").

inline constexpr char KESTRIXD_RULES_NODE_ID[] = "kestrixd:rules";
