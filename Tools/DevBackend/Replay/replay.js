<!-- placeholder -->
