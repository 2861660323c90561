#!/usr/bin/env python3
"""The stand-ins' script of the domain, read from the live Samba controller.

answers() gives what the directory stand-in (activeds) and the domain
stand-in (netapi32) answer, as this controller does: names to DNs, each
user's memberOf, the users' legacy global groups and the controller's name;
standins.script_controller_answers() writes them. expected_groups() gives
what the directory itself says of a user's groups, for a test to compare.

Run as a program it starts the controller (provisioned into F unless it is
there) and prints the answers for the given users beside the directory's
own:
  ad_script.py --dc-folder F --user bob [--user carol] [--computer NAME]
"""
import argparse
import json
import os
import sys

from samba_dc import BASE_DN, DOMAIN, SambaDC, sid_text

# Wine's token is the same on every machine: its groups carry the domain SID
# S-1-5-21-0-0-0, and its one domain group is that domain's Domain Users
# (RID 513). Only the domain part is fake, so the script gives that SID the
# controller's own group of the same RID.
WINE_DOMAIN_SID = "S-1-5-21-0-0-0"
DOMAIN_USERS_RID = 513


def _escape(value):
    """A value put into a search filter (RFC 4515)."""
    return "".join(f"\\{ord(c):02x}" if c in "*()\\\0" else c for c in value)


def adsi_path(dn):
    """The ADSI path of a DN: "/" separates path parts, so a DN's own is escaped."""
    return "LDAP://" + dn.replace("/", "\\/")


def find(dc, account, attributes=()):
    """(dn, attributes) of the account with this sAMAccountName."""
    entries = dc.search(BASE_DN, f"(sAMAccountName={_escape(account)})", ["dn", *attributes])
    if len(entries) != 1:
        raise LookupError(f"{len(entries)} accounts named {account}")
    return entries[0]


def dn_of_sid(dc, sid):
    entries = dc.search(BASE_DN, f"(objectSid={sid})", ["dn"])
    return entries[0][0] if entries else None


def controller_name(dc):
    """\\\\NAME of the domain's controller (a server trust account)."""
    dn, attributes = dc.search(BASE_DN, "(userAccountControl:1.2.840.113556.1.4.803:=8192)", ["sAMAccountName"])[0]
    return "\\\\" + attributes["sAMAccountName"][0].rstrip("$")


def legacy_groups(dc, user):
    """The account names of the user's global groups, as the controller's SAM lists them."""
    return [line for line in dc.net("rpc", "user", "info", user).splitlines() if line.strip()]


def answers(dc, users, computer=None, computer_domain=DOMAIN):
    """The stand-ins' answers for these users (sAMAccountNames) and this
    computer (its name, without "$"): {"names": NT4 name or SID -> DN,
    "objects": ADSI path -> memberOf ("" for none), "groups": user -> global
    groups, "controllers": domain -> its controller}."""
    names, objects, groups = {}, {}, {}
    for user in users:
        dn, attributes = find(dc, user, ["memberOf"])
        names[f"{DOMAIN}\\{user}"] = dn
        # No memberOf at all: the stand-in's object without it.
        objects[adsi_path(dn)] = attributes.get("memberOf", "")
        groups[user] = legacy_groups(dc, user)
    if computer:
        names[f"{computer_domain}\\{computer}$"] = find(dc, computer + "$")[0]
    names[f"{WINE_DOMAIN_SID}-{DOMAIN_USERS_RID}"] = dn_of_sid(dc, f"{dc.domain_sid}-{DOMAIN_USERS_RID}")
    return {"names": names, "objects": objects, "groups": groups, "controllers": {DOMAIN: controller_name(dc)}}


def expected_groups(dc, user):
    """What the directory says of the user's groups, as DNs:
    member_of: memberOf (direct groups, never the primary group);
    primary_group: the group of the user's primaryGroupID;
    token_groups: the controller's tokenGroups of the user, the nested groups
    and the primary one (a SID that names no object in the domain stays a SID)."""
    dn, attributes = find(dc, user, ["memberOf", "primaryGroupID"])
    member_of = attributes.get("memberOf", [])
    primary = dn_of_sid(dc, f"{dc.domain_sid}-{attributes['primaryGroupID'][0]}")
    sids = [sid_text(value) for value in dc.search(dn, attributes=["tokenGroups"], scope="base")[0][1]
            .get("tokenGroups", [])]
    found = {sid_text(values["objectSid"][0]): group for group, values in dc.search(
        BASE_DN, "(|" + "".join(f"(objectSid={sid})" for sid in sids) + ")", ["objectSid"])} if sids else {}
    return {"member_of": member_of, "primary_group": primary,
            "token_groups": [found.get(sid, sid) for sid in sids]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dc-folder", required=True)
    parser.add_argument("--user", action="append", required=True)
    parser.add_argument("--computer")
    args = parser.parse_args()
    os.environ.setdefault("KESTRIN_TEST_DATA", os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                            "..", "..", "build", "tests", "data"))
    with SambaDC(args.dc_folder) as dc:
        if args.computer:
            dc.add_computer(args.computer)
        print(json.dumps(answers(dc, args.user, args.computer), ensure_ascii=False, indent=1))
        for user in args.user:
            print(f"; ldapsearch -b {BASE_DN} (sAMAccountName={user}):")
            print(dc.ldap("ldapsearch", "-LLL", "-o", "ldif-wrap=no", "-b", BASE_DN,
                          f"(sAMAccountName={_escape(user)})", "memberOf", "primaryGroupID").stdout)
            print(f"; net rpc user info {user}:\n" + dc.net("rpc", "user", "info", user))
            for name, value in expected_groups(dc, user).items():
                print(f"; {name}: {value}")
            print()


if __name__ == "__main__":
    sys.exit(main())
