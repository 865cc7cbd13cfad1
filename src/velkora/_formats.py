"""The file formats of figures, known without importing matplotlib (the
command line checks ``--figure-format`` before anything is drawn)."""

FIGURE_FORMATS = ("png", "svg", "pdf")
