"""The package reads as a manual: every public name and every public member
of its classes has a docstring, the board's methods carry type hints, and
the package says it is typed."""

import inspect
import os
import unittest

import tqapi


class ApiTest(unittest.TestCase):
    def test_every_public_name_is_documented(self):
        missing = []
        for name in tqapi.__all__:
            value = getattr(tqapi, name)
            if isinstance(value, (str, int, float, dict)):
                continue
            if not inspect.getdoc(value):
                missing.append(name)
            if inspect.isclass(value):
                for member, attribute in vars(value).items():
                    if not member.startswith("_") and (callable(attribute) or isinstance(attribute, property)) \
                            and not inspect.getdoc(attribute):
                        missing.append(f"{name}.{member}")
        self.assertEqual(missing, [])
        self.assertIn("fileno", inspect.getdoc(tqapi))

    def test_the_board_is_typed(self):
        for name in ["__init__", "record", "stop_recording", "events", "aevents", "fileno", "pump",
                     "pending", "close"]:
            with self.subTest(method=name):
                self.assertIn("return", getattr(tqapi.Board, name).__annotations__)
        self.assertTrue(os.path.exists(os.path.join(os.path.dirname(tqapi.__file__), "py.typed")))


if __name__ == "__main__":
    unittest.main()
