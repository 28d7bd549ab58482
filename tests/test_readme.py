"""The README's examples run as written."""
import doctest
import os

README = os.path.join(os.path.dirname(__file__), os.pardir, "README.md")


def test_readme_examples():
    with open(README, encoding="utf-8") as file:
        text = file.read()
    parser = doctest.DocTestParser()
    test = parser.get_doctest(text, {}, "README.md", README, 0)
    assert test.examples, "the README lost its examples"
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.failures == 0
