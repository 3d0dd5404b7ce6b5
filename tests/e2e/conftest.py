import os

import pytest

from console import BUILD, BOOT_SECONDS, Console


def boot_to_prompt(target, **options):
    console = Console(target, **options)
    try:
        console.wait_for_prompt(timeout=BOOT_SECONDS)
    except BaseException:
        console.close()
        raise
    return console


@pytest.fixture(scope="module")
def folder_console():
    """One boot of the image from an EFI system partition folder, shared by a module's checks."""
    console = boot_to_prompt(os.path.join(BUILD, "esp"))
    yield console
    console.close()


@pytest.fixture(scope="module")
def disk_console():
    """One boot of the GPT disk image, shared by a module's checks."""
    console = boot_to_prompt(os.path.join(BUILD, "tarnwick.img"))
    yield console
    console.close()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """On a failure, shows the screen as a person would see it."""
    outcome = yield
    report = outcome.get_result()
    if report.failed:
        for name in item.fixturenames:
            value = item.funcargs.get(name)
            console = getattr(value, "console", value)  # a Shell drives a Console
            if isinstance(console, Console):
                report.sections.append((f"screen of {name}", console.dump()))
