from importlib.metadata import version

# Declared once, in pyproject.toml; read back from the installed metadata.
__version__ = version("zunmerak")
