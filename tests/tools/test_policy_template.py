"""The Group Policy template against the code: every option the agent reads
from its options key has a policy of the right registry type, and the
template's names resolve in its language file."""
import os
import re
import unittest
import xml.etree.ElementTree as ElementTree

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
ADMX = os.path.join(ROOT, "deploy", "policy", "UserAgent.admx")
ADML = os.path.join(ROOT, "deploy", "policy", "en-US", "UserAgent.adml")
NS = {"p": "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions"}
KEY = r"SOFTWARE\Varnel Systems\User Agent"
# Read by the code but no policy: the service's own state in the options key,
# a value of another service's key, and the bind password, which Group Policy
# would store where every domain user can read it.
NOT_OPTIONS = {"Machine ID", "Machine UUID", "ImagePath", "LDAP Bind User Password"}
READS = re.compile(r'(ReadStringOption|ReadBoolOption|\.ReadString|\.ReadDword|\.ReadMultiString)\((?:key, )?L"([^"]+)"')


def options_in_code():
    """{value name: "string" or "dword"} of every registry value the code reads."""
    options = {}
    for folder, _, files in os.walk(os.path.join(ROOT, "src")):
        for name in files:
            if name.endswith(".cpp"):
                with open(os.path.join(folder, name), encoding="utf-8") as file:
                    for reader, value in READS.findall(file.read()):
                        if value not in NOT_OPTIONS:
                            options[value] = "string" if "String" in reader else "dword"
    return options


def policy_values(root):
    """{value name: "string" or "dword"} the template writes, and its policies."""
    values = {}
    policies = root.findall(".//p:policy", NS)
    for policy in policies:
        if policy.get("valueName"):
            values[policy.get("valueName")] = "dword" if policy.find("p:enabledValue/p:decimal", NS) is not None \
                else "string"
        for element in policy.findall("p:elements/*", NS):
            kind = element.tag.split("}")[1]
            values[element.get("valueName")] = "string" if kind in ("text", "enum") else "dword"
    return values, policies


class PolicyTemplateTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.admx = ElementTree.parse(ADMX).getroot()
        cls.adml = ElementTree.parse(ADML).getroot()

    def test_every_option_of_the_code_and_nothing_else_with_its_type(self):
        code = options_in_code()
        self.assertGreaterEqual(len(code), 15)
        values, policies = policy_values(self.admx)
        self.assertEqual(values, code)
        for policy in policies:
            self.assertEqual((policy.get("class"), policy.get("key")), ("Machine", KEY), policy.get("name"))

    def test_every_reference_resolves_in_the_language_file(self):
        strings = {string.get("id") for string in self.adml.findall(".//p:stringTable/p:string", NS)}
        presentations = {presentation.get("id"): {child.get("refId") for child in presentation}
                         for presentation in self.adml.findall(".//p:presentationTable/p:presentation", NS)}
        for element in self.admx.iter():
            for attribute in ("displayName", "explainText"):
                reference = re.fullmatch(r"\$\(string\.(\w+)\)", element.get(attribute) or "")
                if element.get(attribute):
                    self.assertTrue(reference and reference.group(1) in strings, element.get(attribute))
        for policy in self.admx.findall(".//p:policy", NS):
            ids = {element.get("id") for element in policy.findall("p:elements/*", NS)}
            reference = re.fullmatch(r"\$\(presentation\.(\w+)\)", policy.get("presentation") or "")
            self.assertEqual(presentations[reference.group(1)] if reference else set(), ids, policy.get("name"))


if __name__ == "__main__":
    unittest.main()
